#include "ui/tovanmuxer.h"

#include <limits.h>
#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
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
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
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

void SetBreakableText(QLabel* label, const QString& text) {
    label->setText(Breakable(text));
    label->setAccessibleName(text);
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
    // An installed program's directory (/usr/local/bin) is not where videos go, even for root,
    // who can write there.
    const QFileInfo program(programDir);
    bool system = false;
#ifdef Q_OS_UNIX
    const QString dir = QDir::cleanPath(program.absoluteFilePath()) + QLatin1Char('/');
    for (const char* top :
         {"/usr/", "/opt/", "/bin/", "/sbin/", "/lib/", "/lib64/", "/etc/", "/var/", "/snap/"})
        system = system || dir.startsWith(QLatin1String(top));
    system = system || program.ownerId() != uint(geteuid());
#endif
    if (!system && program.isDir() && program.isWritable()) return programDir;
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

}  // namespace

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
        if (auto* bar = dialog.findChild<QProgressBar*>())
            bar->setAccessibleName(Tovanmuxer::tr("Share converted"));
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

    // The converter's hook: false once the user cancelled or closed the window. `shown` runs
    // when the dialog has shown the share done.
    bool Update(uint64_t done, uint64_t total, const std::function<void()>& shown) {
        if (clock.isValid() && clock.elapsed() < 100) return true;  // a few times a second
        clock.start();
        const int value = total ? int(std::min(done, total) * 1000 / total) : 0;
        dialog.setValue(value);
        shown();
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

    // The list: the user's to order and trim, by buttons, keys, and dragging a row.
    ui.listInputs->setModel(&inputs);
    const auto key = [this](QWidget* on, const QKeySequence& keys, Qt::ShortcutContext context,
                            void (Tovanmuxer::*act)()) {
        auto* action = new QAction(on);
        action->setShortcut(keys);
        action->setShortcutContext(context);
        connect(action, &QAction::triggered, this, act);
        on->addAction(action);
    };
    key(this, QKeySequence(Qt::ALT | Qt::Key_Up), Qt::WindowShortcut, &Tovanmuxer::MoveUp);
    key(this, QKeySequence(Qt::ALT | Qt::Key_Down), Qt::WindowShortcut, &Tovanmuxer::MoveDown);
    key(ui.listInputs, QKeySequence::Delete, Qt::WidgetShortcut, &Tovanmuxer::RemoveSelected);
    connect(ui.btnUp, &QPushButton::clicked, this, &Tovanmuxer::MoveUp);
    connect(ui.btnDown, &QPushButton::clicked, this, &Tovanmuxer::MoveDown);
    connect(ui.btnRemove, &QPushButton::clicked, this, &Tovanmuxer::RemoveSelected);
    connect(ui.btnClear, &QPushButton::clicked, &inputs, &InputList::Clear);
    for (const char* changed :
         {SIGNAL(rowsInserted(QModelIndex, int, int)), SIGNAL(rowsRemoved(QModelIndex, int, int)),
          SIGNAL(rowsMoved(QModelIndex, int, int, QModelIndex, int)), SIGNAL(modelReset())})
        connect(&inputs, changed, this, SLOT(ListChanged()));
    connect(ui.listInputs->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &Tovanmuxer::ListChanged);
    ListChanged();

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
    for (const QString& path : chosen) {
        qDebug("## select_file_name=%s", path.toStdString().c_str());
        qDebug("## input_file_name=%s", FileNameOfPath(path).toStdString().c_str());
    }
    AddInputs(chosen);  // a cancelled dialog adds nothing
}

void Tovanmuxer::AddInputs(const QStringList& paths) {
    inputs.Add(paths);
}

QStringList Tovanmuxer::Inputs() const {
    return inputs.Paths();
}

void Tovanmuxer::ListChanged() {
    if (inputs.size() == 1)
        ui.edtFilePath->setText(inputs.at(0).path);
    else if (inputs.isEmpty())
        ui.edtFilePath->clear();
    else
        ui.edtFilePath->setText(tr("%1 files").arg(inputs.size()));
    if (converting) return;  // the controls stay disabled
    const int row = SelectedRow();
    ui.btnUp->setEnabled(row > 0);
    ui.btnDown->setEnabled(row >= 0 && row + 1 < inputs.size());
    ui.btnRemove->setEnabled(row >= 0);
    ui.btnClear->setEnabled(!inputs.isEmpty());
}

int Tovanmuxer::SelectedRow() const {
    const QModelIndexList selected = ui.listInputs->selectionModel()->selectedRows();
    return selected.isEmpty() ? -1 : selected.first().row();
}

void Tovanmuxer::MoveUp() {
    if (!converting) inputs.Move(SelectedRow(), -1);
}

void Tovanmuxer::MoveDown() {
    if (!converting) inputs.Move(SelectedRow(), +1);
}

void Tovanmuxer::RemoveSelected() {
    const int row = SelectedRow();
    if (converting || row < 0) return;
    inputs.removeRow(row);
    // The next one is selected, so that Delete again takes it too.
    if (!inputs.isEmpty()) {
        const QModelIndex next = inputs.index(std::min(row, inputs.size() - 1));
        ui.listInputs->selectionModel()->setCurrentIndex(next, QItemSelectionModel::ClearAndSelect);
    }
}

void Tovanmuxer::SetControlsEnabled(bool enabled) {
    for (QWidget* w :
         {static_cast<QWidget*>(ui.btnSelect), static_cast<QWidget*>(ui.edtDownPath),
          static_cast<QWidget*>(ui.btnBrowse), static_cast<QWidget*>(ui.listInputs),
          static_cast<QWidget*>(ui.btnUp), static_cast<QWidget*>(ui.btnDown),
          static_cast<QWidget*>(ui.btnRemove), static_cast<QWidget*>(ui.btnClear),
          static_cast<QWidget*>(ui.chkJoin), static_cast<QWidget*>(ui.btnStartDownload)})
        w->setEnabled(enabled);
    if (enabled) ListChanged();
}

void Tovanmuxer::OnClickBrowseFileDir() {
    const QString dir = QFileDialog::getExistingDirectory(
        this, tr("Open Directory"), QStringLiteral("/home"),
        QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    // A cancelled dialog empties the field, as it always has: typing the folder again is
    // quick, and "StartDownload" then says that it is empty.
    const QString native = QDir::toNativeSeparators(dir);
    ui.edtDownPath->setText(native);
    saveDir = dir;
    qDebug("## Browse utf8_full_path=%s", native.toStdString().c_str());
}

void Tovanmuxer::OnClickStartDownload() {
    if (converting) return;
    qDebug("## OnClickStartDownload ......");
    const QString dir = ChosenDir();
    if (dir.isEmpty()) return;
    QVector<Job> jobs = PlanJobs();
    if (jobs.isEmpty()) {
        warningDetail = tr("Every listed file is converted already.");
        QMessageBox_warning(0);
        warningDetail.clear();
        return;
    }
    if (!AskFrameRates(&jobs)) return;

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
            QString reason;
            const Outcome outcome = Convert(jobs[j], j, int(jobs.size()), dir, &progress, &reason);
            if (outcome == Outcome::Failed) {
                ++failures;
                lastReason = reason;
            }
            if (outcome == Outcome::Cancelled || progress.Stopped()) {
                CancelRest(jobs, j, outcome == Outcome::Cancelled);
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

void Tovanmuxer::CancelRest(const QVector<Job>& jobs, int stopped, bool stoppedCancelled) {
    // The rest are not converted; the finished ones stay. One line says so.
    int more = 0;
    for (int k = stopped + 1; k < jobs.size(); ++k)
        for (int row : jobs[k].rows) {
            inputs.SetState(row, State::Cancelled);
            ++more;
        }
    QString entry = stoppedCancelled ? JobName(jobs[stopped]) + tr(": cancelled") : tr("cancelled");
    if (more) entry += tr("; %n more not converted", nullptr, more);
    if (stoppedCancelled || more) LogLine(QDateTime::currentDateTime(), entry.toHtmlEscaped());
}

QString Tovanmuxer::ChosenDir() {
    const QString field = ui.edtDownPath->text();
    qDebug("## check download path str=%s ", field.toStdString().c_str());
    if (field.trimmed().isEmpty()) {
        QMessageBox_warning(2);
        return QString();
    }
    if (inputs.isEmpty()) {
        QMessageBox_warning(0);
        return QString();
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
        return QString();
    }
    return dir;
}

QVector<Tovanmuxer::Job> Tovanmuxer::PlanJobs() const {
    QVector<int> pending;
    for (int row = 0; row < inputs.size(); ++row)
        if (inputs.Pending(row)) pending << row;
    QVector<Job> jobs;
    if (ui.chkJoin->isChecked() && pending.size() > 1) {
        jobs << Job{pending};
    } else {
        for (int row : pending) jobs << Job{{row}};
    }
    return jobs;
}

bool Tovanmuxer::AskFrameRates(QVector<Job>* jobs) {
    // A stream that does not say its frame rate, with no timestamp file beside it, gets one from
    // the user; a cancelled question starts nothing. A join asks once.
    inputs.FindCompanions();
    for (Job& job : *jobs) {
        if (!inputs.at(job.rows[0]).timestampFile.isEmpty()) continue;
        for (int row : job.rows) {
            const QString path = QDir::fromNativeSeparators(inputs.at(row).path);
            if (FirstSpsTiming(path) != StreamTiming::Absent) continue;
            if (!AskFrameRate(FileNameOfPath(path), &job.fpsNum, &job.fpsDen)) return false;
            break;
        }
    }
    for (const Job& job : *jobs)
        for (int row : job.rows) inputs.SetState(row, State::Waiting);
    return true;
}

QString Tovanmuxer::JobName(const Job& job) const {
    const QString name = FileNameOfPath(QDir::fromNativeSeparators(inputs.at(job.rows[0]).path));
    if (job.rows.size() == 1) return name;
    return tr("%1 and %2 more, joined").arg(name, QString::number(job.rows.size() - 1));
}

Tovanmuxer::Outcome Tovanmuxer::Convert(const Job& job, int number, int count, const QString& dir,
                                        ConversionProgress* progress, QString* reason) {
    const QVector<int>& rows = job.rows;
    const InputList::Input& first = inputs.at(rows[0]);
    const QString what = JobName(job);
    progress->SetLabel(count == 1
                           ? tr("Converting %1").arg(what)
                           : tr("Converting %1 (%2 of %3)")
                                 .arg(what, QString::number(number + 1), QString::number(count)));
    inputs.SetState(rows[0], State::Converting);
    // Each output carries the time its conversion began, and the first input's name.
    const QDateTime now = QDateTime::currentDateTime();
    QString entry = what.toHtmlEscaped() + QStringLiteral(": ");
    const auto fail = [&](const QString& why) {
        for (int row : rows) inputs.SetState(row, State::Failed, why);
        *reason = why;
        LogLine(now, entry + tr("failed: %1").arg(why).toHtmlEscaped());
        return Outcome::Failed;
    };
    // The inputs' sizes, for each one's share in a join; an empty file is said to be one.
    QVector<qint64> sizes;
    for (int row : rows) {
        const QFileInfo info(QDir::fromNativeSeparators(inputs.at(row).path));
        sizes << info.size();
        if (info.isFile() && info.size() == 0)
            return fail(rows.size() == 1 ? tr("empty file")
                                         : tr("cannot join %1: empty file").arg(info.fileName()));
    }
    QString outputPath = ComposeOutputPath(
        dir, now, OutputNameFor(FileNameOfPath(QDir::fromNativeSeparators(first.path))));
    if (!outputPath.isEmpty()) outputPath = UnusedPath(outputPath);
    outputPath = QDir::toNativeSeparators(outputPath);
    qDebug("## download file output_path=%s ", outputPath.toStdString().c_str());

    Converter converter;
    if (job.fpsNum) converter.SetFrameRateOverride(job.fpsNum, job.fpsDen);
    const QString timestampFile = first.timestampFile;
    if (!timestampFile.isEmpty())
        converter.SetTimestampFile(QFile::encodeName(timestampFile).toStdString());
    // The sound beside the first input; a join takes it for the whole recording.
    const QString soundFile = first.soundFile;
    if (!soundFile.isEmpty()) converter.SetAudioFile(QFile::encodeName(soundFile).toStdString());
    converter.SetProgressHook([&](uint64_t done, uint64_t total) {
        return progress->Update(done, total, [&] { ShowJobProgress(job, sizes, done, total); });
    });
    // Another conversion (another window) may take the name first: this one then takes the
    // next free one, as for a file that was there before.
    converter.SetOtherNameHook([](const std::string& taken) {
        return QFile::encodeName(UnusedPath(QFile::decodeName(QByteArray::fromStdString(taken))))
            .toStdString();
    });
    bool ok;
    {
        const RemoveOnSignal removePart;
        std::vector<std::string> paths;
        for (int row : rows) paths.push_back(QFile::encodeName(inputs.at(row).path).toStdString());
        ok = rows.size() == 1 ? converter.WriteH264File(paths[0].c_str(), outputPath)
                              : converter.WriteH264Files(paths, outputPath);
    }
    if (converter.Cancelled() || (progress->Stopped() && !ok)) {
        for (int row : rows) inputs.SetState(row, State::Cancelled);
        return Outcome::Cancelled;
    }
    if (!ok) return fail(converter.LastError());
    const QString written = QDir::toNativeSeparators(converter.Summary().outputPath);
    for (int row : rows)
        inputs.SetState(row, State::Done, FileNameOfPath(QDir::fromNativeSeparators(written)));
    entry += SummaryHtml(converter.Summary());
    if (!timestampFile.isEmpty())
        entry += QStringLiteral("; ") +
                 tr("times from %1").arg(QDir::toNativeSeparators(timestampFile)).toHtmlEscaped();
    if (!soundFile.isEmpty())
        entry += QStringLiteral("; ") +
                 tr("sound from %1").arg(QDir::toNativeSeparators(soundFile)).toHtmlEscaped();
    for (const QString& warning : converter.Warnings())
        entry += QStringLiteral("; ") + warning.toHtmlEscaped();
    LogLine(now, entry);
    return Outcome::Done;
}

void Tovanmuxer::ShowJobProgress(const Job& job, const QVector<qint64>& sizes, uint64_t done,
                                 uint64_t total) {
    if (job.rows.size() == 1) {
        inputs.SetPercent(job.rows[0], total ? int(std::min(done, total) * 100 / total) : 0);
        return;
    }
    // Of a join, the segments read so far, and the share of the one being read.
    uint64_t before = 0;
    for (int k = 0; k < job.rows.size(); ++k) {
        const int row = job.rows[k];
        const uint64_t size = uint64_t(std::max<qint64>(sizes[k], 0));
        if (k > 0 && done <= before) break;
        if (inputs.at(row).state != State::Converting) inputs.SetState(row, State::Converting);
        inputs.SetPercent(row, size ? int(std::min(done - before, size) * 100 / size) : 100);
        before += size;
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
    if (level == 0 && !warningDetail.isEmpty()) box.setInformativeText(warningDetail);
    if (auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")))
        SetBreakableText(label, warningDetail);
    box.exec();
}

bool Tovanmuxer::AskFrameRate(const QString& name, uint32_t* num, uint32_t* den) {
    QInputDialog dialog(this);
    dialog.setWindowTitle(tr("Frame rate"));
    dialog.setComboBoxItems({QStringLiteral("23.976"), QStringLiteral("24"), QStringLiteral("25"),
                             QStringLiteral("29.97"), QStringLiteral("30"), QStringLiteral("50"),
                             QStringLiteral("59.94"), QStringLiteral("60")});
    dialog.setComboBoxEditable(true);
    dialog.setTextValue(QStringLiteral("25"));
    if (auto* box = dialog.findChild<QComboBox*>()) {
        box->setAccessibleName(tr("Frames per second"));
        // Enter takes the rate as it stands, at once: not first into the box's list.
        box->setInsertPolicy(QComboBox::NoInsert);
        box->setCompleter(nullptr);
    }
    QString question = tr("%1 does not say its frame rate.\nFrames per second:").arg(name);
    for (;;) {
        dialog.setLabelText(Breakable(question));
        if (auto* label = dialog.findChild<QLabel*>()) label->setAccessibleName(question);
        if (dialog.exec() != QDialog::Accepted) return false;
        const QString typed = dialog.textValue().trimmed();
        if (ParseFrameRate(typed, num, den)) return true;
        question = tr("%1 is not a frame rate.\nFrames per second:").arg(typed);
    }
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
