#include "ui/tovanmuxer.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QTextCursor>
#include <QTime>

QString FileNameOfPath(const QString& path) {
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

QString OutputNameFor(const QString& inputName) {
    QString name = inputName;
    name.replace(QLatin1String(".h26x"), QLatin1String(".mp4"), Qt::CaseSensitive);
    name.replace(QLatin1String(".h264"), QLatin1String(".mp4"), Qt::CaseSensitive);
    return name;
}

QString ComposeOutputPath(const QString& dir, const QDateTime& when, const QString& name) {
    const QString stamp = when.toString(QStringLiteral("yyyy-MM-dd-hh.mm.ss-"));
    // A drive root such as "C:/" already ends in its separator. Any other three-character
    // directory ("/ab") still needs one, or the file would land in its parent.
    if (dir.size() == 3 && dir.endsWith(QLatin1Char('/'))) return dir + stamp + name;
    if (dir.size() >= 3) return dir + QLatin1Char('/') + stamp + name;
    return QString();  // too short to be a directory the file can go into
}

QString UnusedPath(const QString& path) {
    if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink()) return path;
    const bool mp4 = path.endsWith(QLatin1String(".mp4"));
    const QString stem = mp4 ? path.left(path.size() - 4) : path;
    const QString ext = mp4 ? QStringLiteral(".mp4") : QString();
    for (int n = 2;; ++n) {
        const QString candidate = QStringLiteral("%1-%2%3").arg(stem).arg(n).arg(ext);
        if (!QFileInfo::exists(candidate) && !QFileInfo(candidate).isSymLink()) return candidate;
    }
}

namespace {

struct WaitCursor {
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

}  // namespace

Tovanmuxer::Tovanmuxer(QWidget* parent, Qt::WindowFlags flags) : QMainWindow(parent, flags) {
    ui.setupUi(this);
    Init();
}

Tovanmuxer::~Tovanmuxer() = default;

void Tovanmuxer::Init() {
    saveDir = QCoreApplication::applicationDirPath();
    ui.edtDownPath->setText(QDir::toNativeSeparators(saveDir));
    connect(ui.btnSelect, SIGNAL(clicked()), this, SLOT(OnClickOpenFile()));
    connect(ui.btnStartDownload, SIGNAL(clicked()), this, SLOT(OnClickStartDownload()));
    connect(ui.btnBrowse, SIGNAL(clicked()), this, SLOT(OnClickBrowseFileDir()));
}

void Tovanmuxer::OnClickOpenFile() {
    qDebug("## OnClickSelectFile ......");
    const QString chosen = QFileDialog::getOpenFileName(this, QString(), QStringLiteral("/home"),
                                                        tr("Video File(*.h264 *.h26x)"));
    const QString native = QDir::toNativeSeparators(chosen);
    ui.edtFilePath->setText(native);
    inputPath = native;
    if (native.isEmpty()) return;
    qDebug("## select_file_name=%s", chosen.toStdString().c_str());
    const QString name = FileNameOfPath(chosen);
    qDebug("## input_file_name=%s", name.toStdString().c_str());
    outputName = OutputNameFor(name);
}

void Tovanmuxer::OnClickBrowseFileDir() {
    const QString dir = QFileDialog::getExistingDirectory(
        this, tr("Open Directory"), QStringLiteral("/home"),
        QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    saveDir = dir;
    const QString native = QDir::toNativeSeparators(dir);
    ui.edtDownPath->setText(native);
    qDebug("## Browse utf8_full_path=%s", native.toStdString().c_str());
}

void Tovanmuxer::OnClickStartDownload() {
    qDebug("## OnClickStartDownload ......");
    const QDateTime now = QDateTime::currentDateTime();
    const QString dir = saveDir;
    QString outputPath;
    const QString field = ui.edtDownPath->text();
    qDebug("## check download path str=%s ", field.toStdString().c_str());
    if (field.isEmpty()) {
        QMessageBox_warning(2);
        return;
    }
    outputPath = ComposeOutputPath(dir, now, outputName);
    if (!outputPath.isEmpty()) outputPath = UnusedPath(outputPath);
    outputPath = QDir::toNativeSeparators(outputPath);

    Tovanmuxer converter;
    if (inputPath.isEmpty() || outputName.isEmpty()) {
        QMessageBox_warning(0);
        return;
    }
    qDebug("## download file output_path=%s ", outputPath.toStdString().c_str());
    bool ok;
    {
        // The conversion runs here, on the GUI thread; the window is busy until it returns.
        const WaitCursor busy;
        ok = converter.WriteH264File(inputPath.toStdString().c_str(), outputPath);
    }
    if (ok) {
        ShowStatus(0, 0, 0, outputPath);
    } else {
        warningDetail = converter.LastError();
        QMessageBox_warning(1);
        warningDetail.clear();
    }
}

void Tovanmuxer::ShowStatus(int level, int width, int height, QString qstr) {
    const QString time = QTime::currentTime().toString(Qt::TextDate);
    if (level == 0) {
        const QString line = QStringLiteral("[") + time + QStringLiteral("]") +
                             QStringLiteral(" ") + qstr + QStringLiteral("\n");
        ui.textLog->insertPlainText(line);
        QTextCursor cursor = ui.textLog->textCursor();
        cursor.movePosition(QTextCursor::End, QTextCursor::MoveAnchor);
        ui.textLog->setTextCursor(cursor);
    } else if (level == 1) {
        const QString html = QStringLiteral("<font color=black>(%4) %1: %2 * %3</font>")
                                 .arg(QStringLiteral("Test Function"), 0, QLatin1Char(' '))
                                 .arg(width, 0, 10, QLatin1Char(' '))
                                 .arg(height, 0, 10, QLatin1Char(' '))
                                 .arg(time, 0, QLatin1Char(' '));
        ui.textLog->append(html);
    }
}

void Tovanmuxer::QMessageBox_warning(int level) {
    QString text;
    switch (level) {
        case 0:
            text = tr("Please open file!");
            break;
        case 1:
            text = tr("Convert failed, please rewrite the operation!");
            break;
        case 2:
            text = tr("The save file path cannot be empty!");
            break;
        default:
            return;
    }
    QMessageBox box(QMessageBox::Warning, tr("Warning"), text, QMessageBox::Yes, nullptr,
                    Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    if (level == 1 && !warningDetail.isEmpty()) box.setInformativeText(warningDetail);
    box.exec();
}
