#include "ui/inputlist.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <algorithm>
#include <memory>

#include "audio/audioreader.h"
#include "convert/streamfile.h"
#include "convert/timestamps.h"

namespace {

// The stream files directly in `dir`, by content.
QStringList StreamsIn(const QString& dir) {
    QStringList streams;
    for (const QString& name : QDir(dir).entryList(QDir::Files | QDir::Readable, QDir::NoSort)) {
        const QString path = QDir(dir).filePath(name);
        if (StreamFileCodec(path) != Codec::Unknown) streams << path;
    }
    return streams;
}

QString NameOf(const QString& nativePath) {
    const QString path = QDir::fromNativeSeparators(nativePath);
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

}  // namespace

QString TimestampFileBeside(const QString& input, const QStringList& namesBeside) {
    const QFileInfo info(input);
    const QString base = info.completeBaseName();
    if (base.isEmpty()) return QString();
    const QString prefix = base + QLatin1Char('.');
    for (const QString& name : namesBeside) {
        if (!name.startsWith(prefix) || name == info.fileName()) continue;
        const QString path = info.dir().filePath(name);
        if (IsTimestampFile(path)) return path;
    }
    return QString();
}

// Whether `path` holds sound the conversion can take: a file with a header (ADTS, MP3, WAV) told
// by its first bytes, headerless sound by its name alone.
bool IsSoundFile(const QString& path) {
    const std::string name = QFile::encodeName(path).toStdString();
    if (IsRawAudioName(name)) return true;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
    const QByteArray head = file.read(64 * 1024);
    if (head.isEmpty()) return false;
    const std::unique_ptr<AudioReader> reader = OpenAudioReader(name);
    if (!reader) return false;
    reader->Feed(reinterpret_cast<const uint8_t*>(head.constData()), size_t(head.size()));
    if (file.atEnd()) reader->Finish();
    AudioFrame frame;
    return reader->Next(frame) || (reader->HasFormat() && !reader->Failed());
}

QString SoundFileBeside(const QString& input, const QStringList& namesBeside) {
    static const QStringList kExtensions = {QStringLiteral("aac"),  QStringLiteral("adts"),
                                            QStringLiteral("mp3"),  QStringLiteral("wav"),
                                            QStringLiteral("alaw"), QStringLiteral("al"),
                                            QStringLiteral("ulaw"), QStringLiteral("ul"),
                                            QStringLiteral("pcm"),  QStringLiteral("raw")};
    const QFileInfo info(input);
    const QString base = info.completeBaseName();
    if (base.isEmpty()) return QString();
    for (const QString& extension : kExtensions) {
        const QString name = base + QLatin1Char('.') + extension;
        if (name == info.fileName() || !namesBeside.contains(name)) continue;
        const QString path = info.dir().filePath(name);
        if (IsSoundFile(path)) return path;
    }
    return QString();
}

InputList::InputList(QObject* parent) : QAbstractListModel(parent) {}

int InputList::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : size();
}

QVariant InputList::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= size()) return QVariant();
    const Input& input = inputs[index.row()];
    switch (role) {
        case Qt::DisplayRole:
            return Text(index.row());
        case Qt::ToolTipRole: {
            QString tip = input.path;
            if (!input.timestampFile.isEmpty())
                tip += QLatin1Char('\n') +
                       tr("times from %1").arg(QDir::toNativeSeparators(input.timestampFile));
            if (!input.soundFile.isEmpty())
                tip += QLatin1Char('\n') +
                       tr("sound from %1").arg(QDir::toNativeSeparators(input.soundFile));
            return tip;
        }
        case PathRole:
            return input.path;
        case StateRole:
            return int(input.state);
        case TimestampFileRole:
            return input.timestampFile;
        case SoundFileRole:
            return input.soundFile;
        default:
            return QVariant();
    }
}

Qt::ItemFlags InputList::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::ItemIsDropEnabled;  // between the rows
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled |
           Qt::ItemNeverHasChildren;
}

Qt::DropActions InputList::supportedDropActions() const {
    return Qt::MoveAction;
}

bool InputList::moveRows(const QModelIndex& sourceParent, int sourceRow, int count,
                         const QModelIndex& destinationParent, int destinationChild) {
    if (sourceParent.isValid() || destinationParent.isValid() || count < 1 || sourceRow < 0 ||
        sourceRow + count > size() || destinationChild < 0 || destinationChild > size())
        return false;
    // Refused for a place within the rows moved, where they already are.
    if (!beginMoveRows(sourceParent, sourceRow, sourceRow + count - 1, destinationParent,
                       destinationChild))
        return false;
    const QVector<Input> moved = inputs.mid(sourceRow, count);
    inputs.remove(sourceRow, count);
    const int to = destinationChild > sourceRow ? destinationChild - count : destinationChild;
    for (int k = 0; k < count; ++k) inputs.insert(to + k, moved[k]);
    endMoveRows();
    return true;
}

bool InputList::removeRows(int row, int count, const QModelIndex& parent) {
    if (parent.isValid() || count < 1 || row < 0 || row + count > size()) return false;
    beginRemoveRows(parent, row, row + count - 1);
    inputs.remove(row, count);
    endRemoveRows();
    return true;
}

int InputList::Add(const QStringList& paths) {
    QStringList batch;
    for (const QString& path : paths) {
        if (QFileInfo(path).isDir())
            batch << StreamsIn(path);
        else
            batch << path;
    }
    for (QString& path : batch) path = QDir::fromNativeSeparators(path);
    std::stable_sort(batch.begin(), batch.end(), NameBefore);
    QVector<Input> added;
    for (const QString& path : batch) {
        Input input;
        input.path = QDir::toNativeSeparators(path);
        const auto same = [&input](const Input& listed) { return listed.path == input.path; };
        if (std::any_of(inputs.begin(), inputs.end(), same) ||
            std::any_of(added.begin(), added.end(), same))
            continue;
        added << input;
    }
    if (added.isEmpty()) return 0;
    beginInsertRows(QModelIndex(), size(), size() + int(added.size()) - 1);
    inputs += added;
    endInsertRows();
    FindCompanions();
    return int(added.size());
}

void InputList::Clear() {
    if (inputs.isEmpty()) return;
    beginResetModel();
    inputs.clear();
    endResetModel();
}

bool InputList::Move(int row, int by) {
    if (row < 0 || row >= size() || (by != -1 && by != 1)) return false;
    return moveRow(QModelIndex(), row, QModelIndex(), by < 0 ? row - 1 : row + 2);
}

QStringList InputList::Paths() const {
    QStringList paths;
    for (const Input& input : inputs) paths << input.path;
    return paths;
}

void InputList::SetState(int row, State state, const QString& detail) {
    Input& input = inputs[row];
    input.state = state;
    input.detail = detail;
    input.percent = 0;
    Changed(row);
}

void InputList::SetPercent(int row, int percent) {
    if (inputs[row].percent == percent) return;
    inputs[row].percent = percent;
    Changed(row);
}

void InputList::FindCompanions() {
    QHash<QString, QStringList> listed;  // the files of each directory, read once
    for (int row = 0; row < size(); ++row) {
        const QString path = QDir::fromNativeSeparators(inputs[row].path);
        const QString dir = QFileInfo(path).absolutePath();
        auto names = listed.find(dir);
        if (names == listed.end())
            names =
                listed.insert(dir, QDir(dir).entryList(QDir::Files | QDir::Readable, QDir::Name));
        SetTimestampFile(row, TimestampFileBeside(path, *names));
        SetSoundFile(row, SoundFileBeside(path, *names));
    }
}

void InputList::SetTimestampFile(int row, const QString& path) {
    if (inputs[row].timestampFile == path) return;
    inputs[row].timestampFile = path;
    Changed(row);
}

void InputList::SetSoundFile(int row, const QString& path) {
    if (inputs[row].soundFile == path) return;
    inputs[row].soundFile = path;
    Changed(row);
}

QString InputList::Text(int row) const {
    const Input& input = inputs[row];
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
    // What goes in beside the stream shows in its row, not only in its tooltip.
    QString name = NameOf(input.path);
    if (!input.soundFile.isEmpty()) name += tr(" with sound %1").arg(NameOf(input.soundFile));
    if (!input.timestampFile.isEmpty())
        name += tr(" with times %1").arg(NameOf(input.timestampFile));
    return name + QStringLiteral(": ") + state;
}

void InputList::Changed(int row) {
    const QModelIndex i = index(row);
    Q_EMIT dataChanged(i, i);
}
