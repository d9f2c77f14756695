#include "ui/tovanmuxer.h"

#include <limits.h>

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressDialog>
#include <QPushButton>
#include <QStandardPaths>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTime>
#include <QUrl>
#include <algorithm>
#include <functional>

#include "convert/partfile.h"
#include "convert/timestamps.h"

QString FileNameOfPath(const QString& path) {
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

namespace {

const QString kStampFormat = QStringLiteral("yyyy-MM-dd-hh.mm.ss-");

}  // namespace

QString FitFileName(const QString& stampedName, int nameMax) {
    if (QFile::encodeName(stampedName).size() <= nameMax) return stampedName;
    const int prefix = std::min<int>(int(kStampFormat.size()), int(stampedName.size()));
    const bool mp4 = stampedName.endsWith(QLatin1String(".mp4"));
    const int suffix = mp4 ? 4 : 0;
    const QString head = stampedName.left(prefix);
    const QString tail = stampedName.right(suffix);
    const QString middle = stampedName.mid(prefix, stampedName.size() - prefix - suffix);
    // Room for the "-N" that UnusedPath may add.
    const int room = nameMax - 4 - int(QFile::encodeName(head + tail).size());
    int used = 0, end = 0;
    while (end < middle.size()) {
        // One character: a surrogate pair is one, and is never split.
        const int len = middle[end].isHighSurrogate() && end + 1 < middle.size() &&
                                middle[end + 1].isLowSurrogate()
                            ? 2
                            : 1;
        const int bytes = int(QFile::encodeName(middle.mid(end, len)).size());
        if (used + bytes > room) break;
        used += bytes;
        end += len;
    }
    return head + middle.left(end) + tail;
}

QString ComposeOutputPath(const QString& dir, const QDateTime& when, const QString& name) {
    const QString stamped = FitFileName(when.toString(kStampFormat) + name, NAME_MAX);
    // A drive root such as "C:/" already ends in its separator. Any other three-character
    // directory ("/ab") still needs one, or the file would land in its parent.
    if (dir.size() == 3 && dir.endsWith(QLatin1Char('/'))) return dir + stamped;
    if (dir.size() >= 3) return dir + QLatin1Char('/') + stamped;
    return QString();  // too short to be a directory the file can go into
}

QString UnusedPath(const QString& path) {
    if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink()) return path;
    const bool mp4 = path.endsWith(QLatin1String(".mp4"));
    const QString stem = mp4 ? path.left(path.size() - 4) : path;
    const QString ext = mp4 ? QStringLiteral(".mp4") : QString();
    for (int n = 2;; ++n) {
        // Not through arg(): a "%2" in the name would take the number too.
        const QString candidate = stem + QLatin1Char('-') + QString::number(n) + ext;
        if (!QFileInfo::exists(candidate) && !QFileInfo(candidate).isSymLink()) return candidate;
    }
}

QString TypedFolder(const QString& typed) {
    QString t = QDir::fromNativeSeparators(typed.trimmed());
    if (t.isEmpty()) return t;
    const QString home = QDir::homePath();
    if (t == QLatin1String("~"))
        t = home;
    else if (t.startsWith(QLatin1String("~/")))
        t = home + t.mid(1);
    else if (QDir::isRelativePath(t))  // never the working directory, which the user cannot see
        t = home + QLatin1Char('/') + t;
    return QDir::cleanPath(t);
}

QString Breakable(const QString& text) {
    constexpr int kRun = 40;
    const QChar zwsp(0x200B);
    QString out;
    out.reserve(text.size() + text.size() / 8);
    int run = 0;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        out += c;
        if (c.isSpace()) {
            run = 0;
        } else if (c == QLatin1Char('/')) {
            out += zwsp;
            run = 0;
        } else if (++run >= kRun && !c.isHighSurrogate()) {
            out += zwsp;
            run = 0;
        }
    }
    return out;
}

QStringList InputArguments(const QStringList& arguments, const QString& workingDir) {
    QStringList files;
    bool options = true;
    for (int i = 1; i < arguments.size(); ++i) {
        const QString& a = arguments[i];
        if (options && a == QLatin1String("--")) {
            options = false;
            continue;
        }
        if (options && a.startsWith(QLatin1Char('-')) && a.size() > 1) continue;  // not ours
        if (a.isEmpty()) continue;
        const QUrl url(a);
        const QString path =
            url.isLocalFile() && a.startsWith(QLatin1String("file:")) ? url.toLocalFile() : a;
        files << QDir::cleanPath(QDir(workingDir).absoluteFilePath(path));
    }
    return files;
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

// The local files and directories that a drag carries.
QStringList DraggedFiles(const QMimeData* mime) {
    QStringList paths;
    if (!mime || !mime->hasUrls()) return paths;
    for (const QUrl& url : mime->urls()) {
        if (!url.isLocalFile()) continue;
        const QString path = url.toLocalFile();
        const QFileInfo info(path);
        if (info.isFile() || info.isDir()) paths << path;
    }
    return paths;
}

// Whether `a` comes before `b` with the digits in a name counted as numbers: seg2 before seg10,
// as a camera numbers its segments; else by code unit.
bool NameBefore(const QString& a, const QString& b) {
    int i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            int ei = i, ej = j;
            while (ei < a.size() && a[ei].isDigit()) ++ei;
            while (ej < b.size() && b[ej].isDigit()) ++ej;
            // Leading zeros aside, the longer run is the larger number.
            int zi = i, zj = j;
            while (zi + 1 < ei && a[zi] == QLatin1Char('0')) ++zi;
            while (zj + 1 < ej && b[zj] == QLatin1Char('0')) ++zj;
            if (ei - zi != ej - zj) return ei - zi < ej - zj;
            const int c = QStringView(a).mid(zi, ei - zi).compare(QStringView(b).mid(zj, ej - zj));
            if (c != 0) return c < 0;
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    if ((a.size() - i) != (b.size() - j)) return a.size() - i < b.size() - j;
    return a < b;  // equal as numbers ("01" and "1"): a fixed order all the same
}

// The stream files directly in `dir`, by content, in the order of their names.
QStringList StreamsIn(const QString& dir) {
    QStringList names = QDir(dir).entryList(QDir::Files | QDir::Readable, QDir::NoSort);
    std::sort(names.begin(), names.end(), NameBefore);
    QStringList streams;
    for (const QString& name : names) {
        const QString path = QDir(dir).filePath(name);
        if (StreamFileCodec(path) != Codec::Unknown) streams << path;
    }
    return streams;
}

// The conversion summary for the log, the command-line converter's lines in one, the output
// path a link that opens its folder.
QString SummaryHtml(const ConversionSummary& s) {
    const QString written = QDir::toNativeSeparators(s.outputPath);
    const QString link = QStringLiteral("<a href=\"%1\">%2</a>")
                             .arg(QUrl::fromLocalFile(QFileInfo(s.outputPath).absolutePath())
                                      .toString(QUrl::FullyEncoded)
                                      .toHtmlEscaped(),
                                  written.toHtmlEscaped());
    QStringList lines = SummaryLines(s, false);
    QString first = lines.value(0);
    if (first.endsWith(s.outputPath)) first.chop(s.outputPath.size());
    QString html = first.toHtmlEscaped() + link;
    for (int i = 1; i < lines.size(); ++i) html += QStringLiteral("; ") + lines[i].toHtmlEscaped();
    return html;
}

// The timestamp file beside the stream `input`: a file of the same base name ("cam.h264" ->
// "cam.txt", "cam.h264.tc", ...) whose first line is a timestamp file's header; empty for none.
QString TimestampFileBeside(const QString& input) {
    const QFileInfo info(input);
    const QString base = info.completeBaseName();
    if (base.isEmpty()) return QString();
    QStringList names = info.dir().entryList({base + QStringLiteral(".*")},
                                             QDir::Files | QDir::Readable, QDir::Name);
    for (const QString& name : names) {
        if (name == info.fileName()) continue;
        const QString path = info.dir().filePath(name);
        if (IsTimestampFile(path)) return path;
    }
    return QString();
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

    void SetLabel(const QString& label) { dialog.setLabelText(label); }

    // The converter's hook: false once the user cancelled or closed the window. `shown` hears
    // the share done, in thousandths.
    bool Update(uint64_t done, uint64_t total, const std::function<void(int)>& shown) {
        if (clock.isValid() && clock.elapsed() < 100) return true;  // a few times a second
        clock.start();
        const int value = total ? int(std::min(done, total) * 1000 / total) : 0;
        dialog.setValue(value);
        shown(value);
        QCoreApplication::processEvents();
        return !dialog.wasCanceled() && !*stop;
    }
    bool Stopped() const { return dialog.wasCanceled() || *stop; }

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
                // The dialog, and a question it or the window asks (whether to stop), still
                // take input.
                const QWidget* w = qobject_cast<QWidget*>(watched);
                return w && w->window() != &dialog &&
                       w->window() != QApplication::activeModalWidget();
            }
            case QEvent::Show:
                // Keyboard focus goes to the dialog, so that Escape cancels.
                if (watched == &dialog)
                    QMetaObject::invokeMethod(
                        this,
                        [this] {
                            dialog.activateWindow();
                            if (auto* cancel = dialog.findChild<QPushButton*>())
                                cancel->setFocus(Qt::ActiveWindowFocusReason);
                        },
                        Qt::QueuedConnection);
                return false;
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
    connect(ui.edtDownPath, &QLineEdit::textChanged, this,
            [this](const QString& text) { saveDir = TypedFolder(text); });
    saveDir = DefaultSaveDir(QCoreApplication::applicationDirPath());
    ui.edtDownPath->setText(QDir::toNativeSeparators(saveDir));
    setAcceptDrops(true);
    installEventFilter(this);
    ui.edtDownPath->installEventFilter(this);
    ui.btnStartDownload->installEventFilter(this);
    connect(ui.textLog, &QTextBrowser::anchorClicked, this, &Tovanmuxer::OpenLink);
    connect(ui.btnSelect, SIGNAL(clicked()), this, SLOT(OnClickOpenFile()));
    connect(ui.btnStartDownload, SIGNAL(clicked()), this, SLOT(OnClickStartDownload()));
    connect(ui.btnBrowse, SIGNAL(clicked()), this, SLOT(OnClickBrowseFileDir()));
}

void Tovanmuxer::OnClickOpenFile() {
    qDebug("## OnClickSelectFile ......");
    const QStringList chosen = QFileDialog::getOpenFileNames(
        this, QString(), QStringLiteral("/home"),
        tr("Video File(*.h264 *.h26x *.264 *.h265 *.hevc *.265 *.dav)") + QStringLiteral(";;") +
            tr("All files (*)"));
    QVector<Input> list;
    for (const QString& path : chosen) {
        qDebug("## select_file_name=%s", path.toStdString().c_str());
        qDebug("## input_file_name=%s", FileNameOfPath(path).toStdString().c_str());
        Input input;
        input.path = QDir::toNativeSeparators(path);
        list << input;
    }
    SetInputs(list);  // a cancelled dialog empties the list
}

void Tovanmuxer::AddInputs(const QStringList& paths) {
    QVector<Input> list = inputs;
    const auto add = [&list](const QString& path) {
        Input input;
        input.path = QDir::toNativeSeparators(path);
        for (const Input& listed : list)
            if (listed.path == input.path) return;
        list << input;
    };
    for (const QString& path : paths) {
        if (QFileInfo(path).isDir()) {
            for (const QString& stream : StreamsIn(path)) add(stream);
        } else {
            add(path);
        }
    }
    SetInputs(list);
}

QStringList Tovanmuxer::Inputs() const {
    QStringList paths;
    for (const Input& input : inputs) paths << input.path;
    return paths;
}

void Tovanmuxer::SetInputs(const QVector<Input>& list) {
    inputs = list;
    ShowInputs();
}

void Tovanmuxer::ShowInputs() {
    if (inputs.size() == 1)
        ui.edtFilePath->setText(inputs[0].path);
    else if (inputs.isEmpty())
        ui.edtFilePath->clear();
    else
        ui.edtFilePath->setText(tr("%1 files").arg(inputs.size()));
    ui.listInputs->clear();
    for (int i = 0; i < inputs.size(); ++i) {
        ui.listInputs->addItem(QString());
        ui.listInputs->item(i)->setToolTip(inputs[i].path);
        ShowInput(i);
    }
}

void Tovanmuxer::ShowInput(int i) {
    const Input& input = inputs[i];
    QString state;
    switch (input.state) {
        case State::Waiting:
            state = tr("waiting");
            break;
        case State::Converting:
            state = tr("converting, %1 %").arg(input.percent);
            break;
        case State::Done:
            state = tr("done: %1").arg(input.detail);
            break;
        case State::Failed:
            state = tr("failed: %1").arg(input.detail);
            break;
        case State::Cancelled:
            state = tr("cancelled");
            break;
    }
    QListWidgetItem* item = ui.listInputs->item(i);
    if (!item) return;
    item->setText(FileNameOfPath(QDir::fromNativeSeparators(input.path)) + QStringLiteral(": ") +
                  state);
    if (input.state == State::Converting) ui.listInputs->scrollToItem(item);
}

void Tovanmuxer::SetControlsEnabled(bool enabled) {
    for (QWidget* w :
         {static_cast<QWidget*>(ui.btnSelect), static_cast<QWidget*>(ui.edtDownPath),
          static_cast<QWidget*>(ui.btnBrowse), static_cast<QWidget*>(ui.listInputs),
          static_cast<QWidget*>(ui.chkJoin), static_cast<QWidget*>(ui.btnStartDownload)})
        w->setEnabled(enabled);
}

void Tovanmuxer::OnClickBrowseFileDir() {
    const QString dir = QFileDialog::getExistingDirectory(
        this, tr("Open Directory"), QStringLiteral("/home"),
        QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    const QString native = QDir::toNativeSeparators(dir);
    ui.edtDownPath->setText(native);
    saveDir = dir;
    qDebug("## Browse utf8_full_path=%s", native.toStdString().c_str());
}

void Tovanmuxer::OnClickStartDownload() {
    if (converting) return;
    qDebug("## OnClickStartDownload ......");
    const QString field = ui.edtDownPath->text();
    qDebug("## check download path str=%s ", field.toStdString().c_str());
    if (field.trimmed().isEmpty()) {
        QMessageBox_warning(2);
        return;
    }
    if (inputs.isEmpty()) {
        QMessageBox_warning(0);
        return;
    }
    const QString dir = saveDir;
    const QFileInfo dirInfo(dir);
    if (!dirInfo.isDir()) {
        // Named as typed and as understood: "~/Vidoes" and /home/me/Vidoes.
        warningDetail =
            tr("Cannot save into \"%1\" (%2): %3")
                .arg(field.trimmed(), QDir::toNativeSeparators(dir),
                     dirInfo.exists() ? tr("Not a directory") : tr("No such file or directory"));
        QMessageBox_warning(1);
        warningDetail.clear();
        return;
    }
    // The conversions: one an input, or one of all of them, joined.
    QVector<QVector<int>> jobs;
    const bool join = ui.chkJoin->isChecked() && inputs.size() > 1;
    for (int i = 0; i < inputs.size(); ++i) {
        if (join && i > 0)
            jobs[0] << i;
        else
            jobs.push_back({i});
    }
    // The questions first: a stream that does not say its frame rate, with no timestamp file
    // beside it, gets one from the user; a cancelled question starts nothing. A join asks once.
    QVector<QString> timestampFiles(jobs.size());
    for (Input& input : inputs) input.fpsNum = input.fpsDen = 0;
    for (int j = 0; j < jobs.size(); ++j) {
        Input& first = inputs[jobs[j][0]];
        timestampFiles[j] = TimestampFileBeside(QDir::fromNativeSeparators(first.path));
        if (!timestampFiles[j].isEmpty()) continue;
        for (int i : jobs[j]) {
            const QString path = QDir::fromNativeSeparators(inputs[i].path);
            if (FirstSpsTiming(path) != StreamTiming::Absent) continue;
            if (!AskFrameRate(FileNameOfPath(path), &first.fpsNum, &first.fpsDen)) return;
            break;
        }
    }
    for (Input& input : inputs) {
        input.state = State::Waiting;
        input.detail.clear();
    }
    ShowInputs();

    converting = true;
    closeRequested = false;
    SetControlsEnabled(false);
    int failures = 0;
    QString lastReason;
    {
        // The conversions run here, on the GUI thread, handing the event loop a turn between
        // chunks.
        ConversionProgress progress(this, QString(), tr("Cancel"), &closeRequested);
        for (int j = 0; j < jobs.size(); ++j) {
            const QVector<int>& rows = jobs[j];
            const Input& first = inputs[rows[0]];
            const QString inputName = FileNameOfPath(QDir::fromNativeSeparators(first.path));
            QString what = inputName;
            if (rows.size() > 1)
                what =
                    tr("%1 and %2 more, joined").arg(inputName, QString::number(rows.size() - 1));
            progress.SetLabel(jobs.size() == 1 ? tr("Converting %1").arg(what)
                                               : tr("Converting %1 (%2 of %3)")
                                                     .arg(what, QString::number(j + 1),
                                                          QString::number(jobs.size())));
            for (int i : rows) {
                inputs[i].state = State::Converting;
                inputs[i].percent = 0;
                ShowInput(i);
            }
            // Each output carries the time its conversion began, and the first input's name.
            const QDateTime now = QDateTime::currentDateTime();
            QString outputPath = ComposeOutputPath(dir, now, OutputNameFor(inputName));
            if (!outputPath.isEmpty()) outputPath = UnusedPath(outputPath);
            outputPath = QDir::toNativeSeparators(outputPath);
            qDebug("## download file output_path=%s ", outputPath.toStdString().c_str());

            Converter converter;
            if (first.fpsNum) converter.SetFrameRateOverride(first.fpsNum, first.fpsDen);
            if (!timestampFiles[j].isEmpty())
                converter.SetTimestampFile(QFile::encodeName(timestampFiles[j]).toStdString());
            converter.SetProgressHook([&](uint64_t done, uint64_t total) {
                return progress.Update(done, total, [&](int value) {
                    if (inputs[rows[0]].percent == value / 10) return;
                    for (int i : rows) {
                        inputs[i].percent = value / 10;
                        ShowInput(i);
                    }
                });
            });
            // Another conversion (another window) may take the name first: this one then takes
            // the next free one, as for a file that was there before.
            converter.SetOtherNameHook([](const std::string& taken) {
                return QFile::encodeName(
                           UnusedPath(QFile::decodeName(QByteArray::fromStdString(taken))))
                    .toStdString();
            });
            bool ok;
            {
                const RemoveOnSignal removePart;
                if (rows.size() == 1) {
                    ok = converter.WriteH264File(QFile::encodeName(first.path).constData(),
                                                 outputPath);
                } else {
                    std::vector<std::string> paths;
                    for (int i : rows)
                        paths.push_back(QFile::encodeName(inputs[i].path).toStdString());
                    ok = converter.WriteH264Files(paths, outputPath);
                }
            }
            if (converter.Cancelled() || (progress.Stopped() && !ok)) {
                // These and the rest are not converted; the finished ones stay.
                for (int i = rows[0]; i < inputs.size(); ++i) {
                    inputs[i].state = State::Cancelled;
                    ShowInput(i);
                }
                break;
            }
            QString entry = what.toHtmlEscaped() + QStringLiteral(": ");
            if (ok) {
                const QString written = QDir::toNativeSeparators(converter.Summary().outputPath);
                for (int i : rows) {
                    inputs[i].state = State::Done;
                    inputs[i].detail = FileNameOfPath(QDir::fromNativeSeparators(written));
                }
                entry += SummaryHtml(converter.Summary());
            } else {
                for (int i : rows) {
                    inputs[i].state = State::Failed;
                    inputs[i].detail = converter.LastError();
                }
                lastReason = converter.LastError();
                ++failures;
                entry += tr("failed: %1").arg(lastReason).toHtmlEscaped();
            }
            if (!timestampFiles[j].isEmpty())
                entry +=
                    QStringLiteral("; ") + tr("times from %1")
                                               .arg(QDir::toNativeSeparators(timestampFiles[j]))
                                               .toHtmlEscaped();
            for (const QString& warning : converter.Warnings())
                entry += QStringLiteral("; ") + warning.toHtmlEscaped();
            LogLine(now, entry);
            for (int i : rows) ShowInput(i);
            if (progress.Stopped()) {
                for (int i = rows.last() + 1; i < inputs.size(); ++i) {
                    inputs[i].state = State::Cancelled;
                    ShowInput(i);
                }
                break;
            }
        }
    }
    converting = false;
    SetControlsEnabled(true);
    sinceConversion.start();
    if (closeRequested) {
        close();
        return;
    }
    if (failures) {
        warningDetail = jobs.size() == 1
                            ? lastReason
                            : tr("%1 of %2 files could not be converted; the list and the log "
                                 "say why.")
                                  .arg(failures)
                                  .arg(jobs.size());
        QMessageBox_warning(1);
        warningDetail.clear();
    }
}

void Tovanmuxer::LogLine(const QDateTime& when, const QString& html) {
    // At the end, wherever the user clicked or selected in the log.
    QTextCursor cursor = ui.textLog->textCursor();
    cursor.movePosition(QTextCursor::End, QTextCursor::MoveAnchor);
    cursor.insertText(
        QStringLiteral("[") + when.time().toString(Qt::TextDate) + QStringLiteral("] "),
        QTextCharFormat());
    cursor.insertHtml(html);
    cursor.insertText(QStringLiteral("\n"), QTextCharFormat());
    ui.textLog->setTextCursor(cursor);
    ui.textLog->ensureCursorVisible();
}

void Tovanmuxer::OpenLink(const QUrl& url) {
    QDesktopServices::openUrl(url);
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
    if (level == 1 && !warningDetail.isEmpty()) box.setInformativeText(Breakable(warningDetail));
    box.exec();
}

bool Tovanmuxer::AskFrameRate(const QString& name, uint32_t* num, uint32_t* den) {
    QInputDialog dialog(this);
    dialog.setWindowTitle(tr("Frame rate"));
    dialog.setLabelText(
        tr("%1 does not say its frame rate.\nFrames per second:").arg(Breakable(name)));
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
    event->ignore();
    if (closeRequested) return;  // already stopping
    QMessageBox ask(QMessageBox::Question, windowTitle(),
                    tr("A conversion is running. Stop it and close the window?"),
                    QMessageBox::Yes | QMessageBox::No, this);
    ask.setDefaultButton(QMessageBox::No);
    // The answer may come after the conversion ended meanwhile: then the window just closes.
    if (ask.exec() != QMessageBox::Yes) return;
    if (!converting) return void(close());
    closeRequested = true;  // the progress hook stops the conversion, then the slot closes
}

bool Tovanmuxer::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (watched == ui.btnStartDownload &&
        (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonRelease ||
         type == QEvent::MouseButtonDblClick)) {
        // The second click of a double click that began during a conversion, or that came just
        // after one, is not a new request.
        if (sinceConversion.isValid() &&
            sinceConversion.elapsed() < QApplication::doubleClickInterval())
            return true;
    }
    if (type == QEvent::DragEnter || type == QEvent::DragMove || type == QEvent::Drop) {
        auto* drop = static_cast<QDropEvent*>(event);
        const QStringList files = DraggedFiles(drop->mimeData());
        if (!files.isEmpty() && !converting) {
            drop->acceptProposedAction();
            if (type == QEvent::Drop) AddInputs(files);
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}
