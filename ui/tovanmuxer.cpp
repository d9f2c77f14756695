#include "ui/tovanmuxer.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressDialog>
#include <QStandardPaths>
#include <QTextCursor>
#include <QTime>
#include <QUrl>
#include <algorithm>

#include "convert/partfile.h"

QString FileNameOfPath(const QString& path) {
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
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

QString DefaultSaveDir(const QString& programDir) {
    // An installed program's directory (/usr/local/bin) is not the user's to write into.
    const QFileInfo program(programDir);
    if (program.isDir() && program.isWritable()) return programDir;
    const QFileInfo videos(QStandardPaths::writableLocation(QStandardPaths::MoviesLocation));
    if (!videos.filePath().isEmpty() && videos.isDir() && videos.isWritable())
        return videos.filePath();
    return QDir::homePath();
}

namespace {

// The one local file that a drag carries, or nothing.
QString DraggedFile(const QMimeData* mime) {
    if (!mime || !mime->hasUrls()) return QString();
    const QList<QUrl> urls = mime->urls();
    if (urls.size() != 1 || !urls[0].isLocalFile()) return QString();
    const QString path = urls[0].toLocalFile();
    return QFileInfo(path).isFile() ? path : QString();
}

// A conversion running inside the start slot: a progress dialog over the window, updated from
// the converter's progress hook, which also lets the toolkit repaint and handle the dialog.
// Until it ends, user input to anything but the dialog is dropped, not queued, so a second
// click on the start button does not convert again afterwards. The dialog does not use the
// toolkit's modality, which would also drop the request to close the window.
class ConversionProgress : public QObject {
public:
    ConversionProgress(QWidget* window, const QString& label, const QString& cancelText,
                       const bool* stop)
        : window(window), dialog(label, cancelText, 0, 1000, window), stop(stop) {
        dialog.setWindowTitle(window->windowTitle());
        dialog.setWindowModality(Qt::NonModal);
        dialog.setMinimumDuration(500);
        dialog.setAutoClose(false);
        dialog.setAutoReset(false);
        window->setCursor(Qt::WaitCursor);
        qApp->installEventFilter(this);
    }
    ~ConversionProgress() override {
        // Input that arrived while the conversion ran, after the last turn the hook gave the
        // event loop, is still queued: it is dropped here too, however short the conversion.
        QCoreApplication::processEvents();
        qApp->removeEventFilter(this);
        window->unsetCursor();
    }

    // The converter's hook: false once the user cancelled or closed the window.
    bool Update(uint64_t done, uint64_t total) {
        if (clock.isValid() && clock.elapsed() < 100) return true;  // a few times a second
        clock.start();
        dialog.setValue(total ? int(std::min(done, total) * 1000 / total) : 0);
        QCoreApplication::processEvents();
        return !dialog.wasCanceled() && !*stop;
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
            case QEvent::MouseButtonPress:
            case QEvent::MouseButtonRelease:
            case QEvent::MouseButtonDblClick:
            case QEvent::Wheel:
            case QEvent::KeyPress:
            case QEvent::KeyRelease:
            case QEvent::ShortcutOverride:
            case QEvent::Shortcut:
            case QEvent::ContextMenu:
            case QEvent::DragEnter:
            case QEvent::DragMove:
            case QEvent::Drop:
            case QEvent::TouchBegin:
            case QEvent::TouchUpdate:
            case QEvent::TouchEnd: {
                const QWidget* w = qobject_cast<QWidget*>(watched);
                return w && w->window() != &dialog;
            }
            default:
                return false;
        }
    }

private:
    QWidget* window;
    QProgressDialog dialog;
    const bool* stop;
    QElapsedTimer clock;
};

}  // namespace

Tovanmuxer::Tovanmuxer(QWidget* parent, Qt::WindowFlags flags) : QMainWindow(parent, flags) {
    ui.setupUi(this);
    Init();
}

Tovanmuxer::~Tovanmuxer() = default;

void Tovanmuxer::Init() {
    // The directory field is what the user sees: a directory typed into it is the output
    // directory as much as one chosen with "Browse".
    connect(ui.edtDownPath, &QLineEdit::textChanged, this, [this](const QString& text) {
        saveDir = QDir::cleanPath(QDir::fromNativeSeparators(text));
    });
    saveDir = DefaultSaveDir(QCoreApplication::applicationDirPath());
    ui.edtDownPath->setText(QDir::toNativeSeparators(saveDir));
    setAcceptDrops(true);
    installEventFilter(this);
    ui.edtDownPath->installEventFilter(this);
    connect(ui.btnSelect, SIGNAL(clicked()), this, SLOT(OnClickOpenFile()));
    connect(ui.btnStartDownload, SIGNAL(clicked()), this, SLOT(OnClickStartDownload()));
    connect(ui.btnBrowse, SIGNAL(clicked()), this, SLOT(OnClickBrowseFileDir()));
}

void Tovanmuxer::OnClickOpenFile() {
    qDebug("## OnClickSelectFile ......");
    const QString chosen = QFileDialog::getOpenFileName(
        this, QString(), QStringLiteral("/home"),
        tr("Video File(*.h264 *.h26x)") + QStringLiteral(";;") + tr("H.265 (*.h265 *.hevc *.265)") +
            QStringLiteral(";;") + tr("All files (*)"));
    ChooseInput(chosen);
}

void Tovanmuxer::ChooseInput(const QString& chosen) {
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
    if (converting) return;
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
    const QString inputName = FileNameOfPath(QDir::fromNativeSeparators(inputPath));
    if (FirstSpsTiming(QDir::fromNativeSeparators(inputPath)) == StreamTiming::Absent) {
        uint32_t num = 0, den = 0;
        if (!AskFrameRate(inputName, &num, &den)) return;
        converter.SetFrameRateOverride(num, den);
    }
    qDebug("## download file output_path=%s ", outputPath.toStdString().c_str());
    bool ok;
    {
        // The conversion runs here, on the GUI thread, handing the event loop a turn between
        // chunks.
        converting = true;
        closeRequested = false;
        ConversionProgress progress(this, tr("Converting %1").arg(inputName), tr("Cancel"),
                                    &closeRequested);
        converter.SetProgressHook(
            [&progress](uint64_t done, uint64_t total) { return progress.Update(done, total); });
        // Another conversion (another window) may take the name first: this one then takes
        // the next free one, as for a file that was there before.
        converter.SetOtherNameHook([](const std::string& taken) {
            return QFile::encodeName(
                       UnusedPath(QFile::decodeName(QByteArray::fromStdString(taken))))
                .toStdString();
        });
        const RemoveOnSignal removePart;
        ok = converter.WriteH264File(QFile::encodeName(inputPath).constData(), outputPath);
    }
    converting = false;
    if (converter.Cancelled() || (closeRequested && !ok)) {
        if (closeRequested) close();
        return;
    }
    if (ok) {
        ShowStatus(0, 0, 0, QDir::toNativeSeparators(converter.Summary().outputPath));
        if (closeRequested) close();
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
        // At the end, wherever the user clicked or selected in the log.
        QTextCursor cursor = ui.textLog->textCursor();
        cursor.movePosition(QTextCursor::End, QTextCursor::MoveAnchor);
        ui.textLog->setTextCursor(cursor);
        ui.textLog->insertPlainText(line);
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

bool Tovanmuxer::AskFrameRate(const QString& name, uint32_t* num, uint32_t* den) {
    QInputDialog dialog(this);
    dialog.setWindowTitle(tr("Frame rate"));
    dialog.setLabelText(tr("%1 does not say its frame rate.\nFrames per second:").arg(name));
    dialog.setComboBoxItems({QStringLiteral("23.976"), QStringLiteral("24"), QStringLiteral("25"),
                             QStringLiteral("29.97"), QStringLiteral("30"), QStringLiteral("50"),
                             QStringLiteral("59.94"), QStringLiteral("60")});
    dialog.setComboBoxEditable(true);
    dialog.setTextValue(QStringLiteral("25"));
    while (dialog.exec() == QDialog::Accepted) {
        const QString typed = dialog.textValue().trimmed();
        if (ParseFrameRate(typed, num, den)) return true;
        dialog.setLabelText(tr("%1 is not a frame rate.\nFrames per second:").arg(typed));
    }
    return false;
}

void Tovanmuxer::closeEvent(QCloseEvent* event) {
    if (!converting) return QMainWindow::closeEvent(event);
    closeRequested = true;  // the progress hook stops the conversion, then the slot closes
    event->ignore();
}

bool Tovanmuxer::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (type == QEvent::DragEnter || type == QEvent::DragMove || type == QEvent::Drop) {
        auto* drop = static_cast<QDropEvent*>(event);
        const QString file = DraggedFile(drop->mimeData());
        if (!file.isEmpty()) {
            drop->acceptProposedAction();
            if (type == QEvent::Drop) ChooseInput(file);
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}
