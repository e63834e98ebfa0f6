#include "interop/write_lock.hpp"

#include <mutex>

namespace qv {

namespace {

std::recursive_mutex& file_mutex()
{
    static std::recursive_mutex mutex;
    return mutex;
}

}  // namespace

void FileWriteLock::acquire()
{
    if (held_) return;
    std::recursive_mutex& mutex = file_mutex();
    if (!mutex.try_lock()) {
        // The holder needs the GIL to finish its writes.
        Py_BEGIN_ALLOW_THREADS
        mutex.lock();
        Py_END_ALLOW_THREADS
    }
    held_ = true;
}

void FileWriteLock::release()
{
    if (!held_) return;
    held_ = false;
    file_mutex().unlock();
}

}  // namespace qv
