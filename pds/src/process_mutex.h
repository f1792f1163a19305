// In-process half of a host-wide named mutex: thread ownership, recursion and waiting by name; and the wrapper every provider hands out.
//
// Windows mutexes belong to a thread and may be taken again by their owner; a lock file or a map
// entry knows nothing of threads. The providers without a kernel mutex (linux, sim) therefore
// keep one state per name and process here, and only the thread that takes it first in this
// process goes on to the host-wide part (HostLock), so every provider behaves alike inside a
// process. The state follows Windows exactly: closing a handle releases nothing, and a thread
// that ends holding the mutex abandons it to the next waiter.
//
// Since CloseHandle does not release, a handle closed while held would keep every other thread
// out until its owner ends. Every provider therefore wraps its handles (releasing_on_close): the
// wrapper counts the acquisitions made through it and gives them back before it closes.
#pragma once

#include "pds/platform.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace pds::detail {

// The host-wide part of one named mutex, held by at most one thread of this process at a time.
class HostLock {
public:
    virtual ~HostLock() = default;
    // timeout_ms < 0 waits without limit; returns 0, kErrorSemTimeout or an OS error.
    virtual os_error acquire(int timeout_ms) = 0;
    virtual void release() = 0;
};

// Builds the host-wide part the first time this process opens a name; 0 or an OS error.
using HostLockFactory = std::function<os_error(std::unique_ptr<HostLock>&)>;

// Opens `name` within `scope` (one scope per provider, so that two providers in one process do
// not share state). Handles of the same scope and name share ownership and recursion count.
os_error open_process_mutex(std::string_view scope, const std::string& name,
                            const HostLockFactory& make_host_lock, std::unique_ptr<NamedMutex>& out);

// Wraps a provider's own handle so that closing it first releases what it still holds (when
// closed by the owning thread).
std::unique_ptr<NamedMutex> releasing_on_close(std::unique_ptr<NamedMutex> raw);

}  // namespace pds::detail
