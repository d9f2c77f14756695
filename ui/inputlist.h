// The window's inputs: the files the user listed, in the order the user gave them, each with its
// state and the files beside it that go with it. The list view shows it; "StartDownload" works
// through it.
#pragma once

#include <QAbstractListModel>
#include <QString>
#include <QStringList>
#include <QVector>

class InputList : public QAbstractListModel {
    Q_OBJECT

public:
    enum class State { Waiting, Converting, Done, Failed, Cancelled };
    enum Role {
        PathRole = Qt::UserRole + 1,  // the path, native-separator form
        StateRole,                    // State, as an int
        TimestampFileRole,            // the timestamp file beside it, '/' form, or empty
        SoundFileRole,                // the sound file beside it, '/' form, or empty
    };
    struct Input {
        QString path;  // native-separator form
        State state = State::Waiting;
        int percent = 0;
        QString detail;  // the output's name when done, the reason when failed
        // Files beside the stream, of its base name, that go with it ('/' form; empty for
        // none): the pictures' times, and a sound track for it.
        QString timestampFile;
        QString soundFile;
    };

    explicit InputList(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    // Dragging a row within the view moves it.
    Qt::DropActions supportedDropActions() const override;
    bool moveRows(const QModelIndex& sourceParent, int sourceRow, int count,
                  const QModelIndex& destinationParent, int destinationChild) override;
    bool removeRows(int row, int count, const QModelIndex& parent = QModelIndex()) override;

    // Appends the files that arrive together (a dialog's, a drop's, the command line's): each
    // file as given, and of a directory the stream files it holds (by their content), all in
    // the natural order of their paths (seg2 before seg10). A file listed already is not added
    // again. Returns the number added.
    int Add(const QStringList& paths);
    void Clear();
    // Moves the input at `row` one place up (-1) or down (+1); false at an end.
    bool Move(int row, int by);

    int size() const { return int(inputs.size()); }
    bool isEmpty() const { return inputs.isEmpty(); }
    const Input& at(int row) const { return inputs[row]; }
    QStringList Paths() const;
    // Whether "StartDownload" converts it: waiting, failed or cancelled; a done one stays done.
    bool Pending(int row) const { return inputs[row].state != State::Done; }

    void SetState(int row, State state, const QString& detail = QString());
    void SetPercent(int row, int percent);
    // Looks again beside each input for the files that go with it: they may have come after it
    // was listed.
    void FindCompanions();
    void SetTimestampFile(int row, const QString& path);
    void SetSoundFile(int row, const QString& path);

    // The row's text: the file's name and its state, "clip.h264: converting, 17 %".
    QString Text(int row) const;

private:
    void Changed(int row);

    QVector<Input> inputs;
};

// The timestamp file beside the stream `input`, among `namesBeside`, the files of its directory
// in name order: one of the same base name ("cam.h264" -> "cam.txt", "cam.h264.tc", ...) whose
// first line is a timestamp file's header; empty for none.
QString TimestampFileBeside(const QString& input, const QStringList& namesBeside);
// The sound file beside the stream `input`, among `namesBeside`: one of the same base name with a
// sound file's extension (.aac .adts .mp3 .wav .alaw .al .ulaw .ul .pcm .raw), told by its content
// where it has a header; empty for none.
QString SoundFileBeside(const QString& input, const QStringList& namesBeside);
