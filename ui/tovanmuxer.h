// The main window: choose an input stream and an output directory, convert, and report.
#pragma once

#include <QDateTime>
#include <QMainWindow>
#include <QString>

#include "convert/converter.h"
#include "convert/streamfile.h"
#include "ui_tovanmuxer.h"

class Tovanmuxer : public QMainWindow, public Converter {
    Q_OBJECT

public:
    explicit Tovanmuxer(QWidget* parent = nullptr, Qt::WindowFlags flags = Qt::WindowFlags());
    ~Tovanmuxer() override;

    void Init();

public Q_SLOTS:
    void OnClickOpenFile();
    void OnClickStartDownload();
    void OnClickBrowseFileDir();
    void ShowStatus(int level, int width, int height, QString qstr);
    void QMessageBox_warning(int level);

protected:
    // Closing the window during a conversion cancels it; the window closes when it has stopped.
    void closeEvent(QCloseEvent* event) override;
    // A stream file dropped onto the window, or onto its directory field, is taken as the input.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void ChooseInput(const QString& chosen);
    bool AskFrameRate(const QString& name, uint32_t* num, uint32_t* den);

    Ui::TovanmuxerClass ui;
    QString inputPath;
    QString saveDir;
    QString outputName;
    QString warningDetail;  // informative text of the next warning box
    bool converting = false;
    bool closeRequested = false;
};

// The directory the output goes to at first: the program's own when it can be written, else
// the user's videos directory, else the home directory.
QString DefaultSaveDir(const QString& programDir);

// The part of a path after its last '/': the file name, whatever the path's length.
QString FileNameOfPath(const QString& path);
// The output path in '/' form: directory, separator, the time stamp of `when` and `name`; no
// separator after a drive root ("C:/"); empty for a directory shorter than three characters.
QString ComposeOutputPath(const QString& dir, const QDateTime& when, const QString& name);
// `path` itself if nothing exists there, else the first free of path-2.mp4, path-3.mp4, ...
QString UnusedPath(const QString& path);
