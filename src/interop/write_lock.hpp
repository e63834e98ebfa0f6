// Files are written one at a time within the process. open(path, "wb") empties the file at
// once and the writes that follow let other threads run, so two saves to one path that
// overlapped could leave the tail of the longer output behind the shorter one.
#pragma once

#include <Python.h>

namespace qv {

// Held from just before the file is opened until it is closed. Reentrant on one thread
// (opening a path may run Python code that saves again); waiting is done without the GIL.
class FileWriteLock {
public:
    FileWriteLock() = default;
    ~FileWriteLock() { release(); }
    FileWriteLock(const FileWriteLock&) = delete;
    FileWriteLock& operator=(const FileWriteLock&) = delete;

    void acquire();  // the GIL must be held
    void release();

private:
    bool held_ = false;
};

}  // namespace qv
