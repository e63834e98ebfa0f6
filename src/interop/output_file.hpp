// Where a save writes. A regular file (or a path with nothing there yet) is replaced only
// once the new contents are complete: they go to a new file beside it, which is renamed
// over it at the end, so a save that fails part way (disk full, a file size limit, an I/O
// error) leaves the old file as it was, and saves that overlap leave one whole file. Anything
// else is written in place through the host's open(path, "wb"), as before: devices, FIFOs,
// file descriptors and files with other hard links (whose inode callers may rely on). Files
// beside which no new file can be made (a directory without write permission) are written
// in place too.
//
// The path is resolved once: its folder is held open and everything after (the new file,
// the rename, the clean-up, writing in place) happens in that folder, so that a change of
// the working directory by another thread cannot split one save across two folders.
#pragma once

#include "interop/ref.hpp"

#include <cstdint>
#include <memory>
#include <span>

namespace qv {

class OutputFile {
public:
    enum class Commit { kDone, kFailed, kRefused };

    OutputFile();
    // Anything not committed is discarded: the new file removed, a file written in place
    // closed. An error in flight stays the one reported.
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // `path` as the host's open() takes it: an integer is a file descriptor, anything else
    // goes through os.fspath once. Errors are the host's own, as open() raises them.
    bool open(PyObject* host_open, PyObject* path);
    // All of `data`, which must stay in place until the next write or commit (the GIL is
    // released while it is written).
    bool write(std::span<const uint8_t> data);
    // Puts the new file in the target's place, or closes the file written in place.
    // kRefused: the target could not be replaced (a mount point, a sticky directory); the
    // new file is gone and write_in_place() starts again on the target itself.
    Commit commit();
    bool write_in_place();

    // Where a replacing save writes: the folder, held open, and the names in it.
    struct Plan;

private:
    bool open_in_place(PyObject* path);
    bool open_in_folder();
    bool flush();
    bool write_out(const uint8_t* data, size_t size);
    void drop_temp();
    void discard();

    PyObject* host_open_ = nullptr;  // borrowed from the module state
    Ref path_;                       // the path as os.fspath gave it (or the number)
    Ref file_;                       // written in place by the host: its file object, owns fd_
    std::unique_ptr<Plan> plan_;     // the folder held open and the names in it; owns fd_
    bool temp_made_ = false;         // fd_ is the new file (else the target, in place)
    int fd_ = -1;
    std::unique_ptr<uint8_t[]> buffer_;  // small writes are gathered here
    size_t buffered_ = 0;
};

// Writes a file with `emit(OutputFile&)` (which must write the same bytes when called
// again), replacing `path` only once all of it is written.
template <typename Emit>
bool save_file(PyObject* host_open, PyObject* path, Emit&& emit)
{
    OutputFile file;
    if (!file.open(host_open, path) || !emit(file)) return false;
    switch (file.commit()) {
    case OutputFile::Commit::kDone:
        return true;
    case OutputFile::Commit::kFailed:
        return false;
    case OutputFile::Commit::kRefused:
        break;
    }
    return file.write_in_place() && emit(file) && file.commit() == OutputFile::Commit::kDone;
}

}  // namespace qv
