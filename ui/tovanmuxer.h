// The main window: choose input streams and an output directory, convert them in turn, and
// report each.
#pragma once

#include <QDateTime>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QString>
#include <QStringList>
#include <QVector>

#include "convert/converter.h"
#include "convert/streamfile.h"
#include "ui/inputlist.h"
#include "ui_tovanmuxer.h"

class QLabel;
class QUrl;
class ConversionProgress;

class Tovanmuxer : public QMainWindow, public Converter {
    Q_OBJECT

public:
    explicit Tovanmuxer(QWidget* parent = nullptr, Qt::WindowFlags flags = Qt::WindowFlags());
    ~Tovanmuxer() override;

    void Init();

    // Adds inputs to the list: each file as given, and of a directory the stream files it holds
    // (by their content), in the natural order of their names. A file already listed is not
    // added again.
    void AddInputs(const QStringList& paths);
    // The listed inputs, in native-separator form.
    QStringList Inputs() const;
    InputList* InputModel() { return &inputs; }

public Q_SLOTS:
    void OnClickOpenFile();
    void OnClickStartDownload();
    void OnClickBrowseFileDir();
    void ShowStatus(int level, int width, int height, QString qstr);
    void QMessageBox_warning(int level);

private Q_SLOTS:
    // The input count in the field, and which of the list's buttons apply.
    void ListChanged();

protected:
    // Closing the window during a conversion asks whether to stop it; the window closes when it
    // has stopped.
    void closeEvent(QCloseEvent* event) override;
    // Stream files or a directory dropped onto the window, or onto its directory field, are
    // added to the inputs; clicks on the start button just after a conversion are dropped.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    using State = InputList::State;
    // One conversion: an input, or the inputs joined, in the list's order.
    struct Job {
        QVector<int> rows;
        uint32_t fpsNum = 0, fpsDen = 0;  // the rate the user gave, if asked
    };
    enum class Outcome { Done, Failed, Cancelled };

    // The output directory once the choices are complete; empty after a warning.
    QString ChosenDir();
    // The inputs still to convert, each its own job or all of them one.
    QVector<Job> PlanJobs() const;
    // Asks for the rate of each job whose stream does not say it; false when cancelled.
    bool AskFrameRates(QVector<Job>* jobs);
    QString JobName(const Job& job) const;
    // Converts one job, its rows' states and its log line as it goes.
    Outcome Convert(const Job& job, int number, int count, const QString& dir,
                    ConversionProgress* progress, QString* reason);
    // Marks the jobs after `stopped` cancelled, and logs the stop; `stoppedCancelled` when the
    // job `stopped` itself was.
    void CancelRest(const QVector<Job>& jobs, int stopped, bool stoppedCancelled);
    // The rows of a job while its bytes are read, `done` of them in the list's order.
    void ShowJobProgress(const Job& job, const QVector<qint64>& sizes, uint64_t done,
                         uint64_t total);
    int SelectedRow() const;
    void MoveUp();
    void MoveDown();
    void RemoveSelected();
    void SetControlsEnabled(bool enabled);
    bool AskFrameRate(const QString& name, uint32_t* num, uint32_t* den);
    void LogLine(const QDateTime& when, const QString& html);
    void OpenLink(const QUrl& url);

    Ui::TovanmuxerClass ui;
    InputList inputs;
    QString saveDir;
    QString warningDetail;  // informative text of the next warning box
    bool converting = false;
    bool closeRequested = false;
    QElapsedTimer sinceConversion;  // since the last conversion ended
};

// The directory the output goes to at first: the program's own when it can be written and is
// not a system directory (under /usr, /opt, /bin, ..., or not the user's), else the user's
// videos directory, else the home directory.
QString DefaultSaveDir(const QString& programDir);

// The directory a typed folder names, in '/' form: surrounding white space trimmed, "~" and
// "~/..." in the home directory, and so is a relative path; empty for an empty field.
QString TypedFolder(const QString& typed);

// The part of a path after its last '/': the file name, whatever the path's length.
QString FileNameOfPath(const QString& path);
// The output path in '/' form: directory, separator, the time stamp of `when` and `name`; no
// separator after a drive root ("C:/"); empty for a directory shorter than three characters.
// A name that would pass NAME_MAX bytes loses the end of its input-name part.
QString ComposeOutputPath(const QString& dir, const QDateTime& when, const QString& name);
// `stampedName` within `nameMax` bytes of the file system's encoding: the time prefix and the
// ".mp4" kept, the part between cut at a character's end, room left for UnusedPath's "-N".
QString FitFileName(const QString& stampedName, int nameMax);
// `path` itself if nothing exists there, else the first free of path-2.mp4, path-3.mp4, ...
QString UnusedPath(const QString& path);
// `text` with a break allowed after each '/' and within long runs without white space, so that
// a message box wraps a long path instead of growing past the screen.
QString Breakable(const QString& text);
// Shows `text` in `label` with such breaks; screen readers get the text without them.
void SetBreakableText(QLabel* label, const QString& text);
// The files the program was started with: the arguments after the program's name, relative
// ones taken against `workingDir`, file URLs as their paths; "--" ends the options.
QStringList InputArguments(const QStringList& arguments, const QString& workingDir);
