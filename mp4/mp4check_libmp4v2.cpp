// The checks of mp4check.h for the build against the system's libmp4v2, which reports neither
// write errors nor a failed close: the file is read back instead.

#include <cerrno>
#include <map>
#include <string>

#include "mp4/mp4check.h"

namespace {

struct Start {
    MP4TrackId track;
    MP4Duration start;
};
std::map<MP4FileHandle, Start> starts;  // one conversion at a time per handle

}  // namespace

bool MP4SetPresentationStart(MP4FileHandle hFile, MP4TrackId trackId, MP4Duration start) {
    if (hFile == MP4_INVALID_FILE_HANDLE || trackId == MP4_INVALID_TRACK_ID) return false;
    starts[hFile] = Start{trackId, start};
    return true;
}

int MP4WriteError(MP4FileHandle) {
    return errno ? errno : EIO;
}

bool MP4CloseChecked(MP4FileHandle hFile, uint32_t flags, int* error) {
    if (hFile == MP4_INVALID_FILE_HANDLE) return false;
    auto it = starts.find(hFile);
    if (it != starts.end()) {
        // One edit: the media from the presentation start to its end, shown from time 0.
        const MP4TrackId t = it->second.track;
        const MP4Duration media = MP4GetTrackDuration(hFile, t);
        const MP4Duration start = it->second.start;
        if (start > 0 && media > start) {
            const MP4EditId edit = MP4AddTrackEdit(hFile, t, MP4_INVALID_EDIT_ID, start);
            MP4SetTrackEditDuration(
                hFile, t, edit,
                MP4ConvertFromTrackDuration(hFile, t, media - start, MP4GetTimeScale(hFile)));
        }
        starts.erase(it);
    }
    const std::string name = MP4GetFilename(hFile) ? MP4GetFilename(hFile) : "";
    MP4Close(hFile, flags);
    MP4FileHandle back = name.empty() ? MP4_INVALID_FILE_HANDLE : MP4Read(name.c_str());
    const bool ok = back != MP4_INVALID_FILE_HANDLE;
    if (ok) MP4Close(back, 0);
    if (error) *error = ok ? 0 : (errno ? errno : EIO);
    return ok;
}
