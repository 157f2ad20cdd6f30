#include "platform/durablefile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <TarvikFoundation/platform/threadpool.h>

namespace Platform {

DurableFile::DurableFile() : DurableFile([](int fd) { return ::fdatasync(fd); }) {}

DurableFile::DurableFile(Sync sync) : sync_(std::move(sync)) {}

bool DurableFile::open_append(const std::string& path) noexcept {
    close();
    // Logs may lie in folders that a confined application can write: a link or a second
    // name put in the file's place must not make a process outside write elsewhere.
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
        st.st_nlink != 1) {
        ::close(fd);
        errno = ELOOP;
        return false;
    }
    std::lock_guard g(m_);
    fd_ = fd;
    position_ = static_cast<uint64_t>(st.st_size);
    return true;
}

bool DurableFile::append(const char* data, std::size_t len, Ticket* ticket) noexcept {
    if (fd_ < 0) return false;
    std::size_t done = 0;
    while (done < len) {
        const ssize_t n = ::write(fd_, data + done, len - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            dropPartial(done);
            return false;
        }
        done += static_cast<std::size_t>(n);
        position_ += static_cast<uint64_t>(n);
    }
    // The next commit to begin starts after these bytes were written.
    std::lock_guard g(m_);
    appended_ = started_ + 1;
    if (ticket) {
        ticket->file_ = this;
        ticket->round_ = appended_;
        ticket->done_ = false;
        ticket->next_ = waiting_;
        waiting_ = ticket;
    }
    return true;
}

// A write that failed half-way (a full disk) leaves the start of its data at the end of
// the file; the next append would continue it. Cut it off, where it is still the end:
// the file may have grown since from another writer's side.
void DurableFile::dropPartial(std::size_t written) noexcept {
    if (written == 0) return;
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || static_cast<uint64_t>(st.st_size) != position_) return;
    if (::ftruncate(fd_, static_cast<off_t>(position_ - written)) == 0) position_ -= written;
}

bool DurableFile::commit(Ticket& ticket) noexcept {
    if (ticket.file_ != this) return false;
    std::unique_lock lk(m_);
    while (!ticket.done_) {
        if (!committing_ && started_ < ticket.round_)
            runCommit(lk);
        else
            committed_.wait(lk);
    }
    ticket.file_ = nullptr;
    return ticket.ok_;
}

DurableFile::Ticket::~Ticket() {
    if (file_) file_->forget(*this);
}

void DurableFile::forget(Ticket& ticket) noexcept {
    std::lock_guard g(m_);
    for (Ticket** t = &waiting_; *t; t = &(*t)->next_) {
        if (*t == &ticket) {
            *t = ticket.next_;
            break;
        }
    }
}

// Caller holds m_ and no commit is under way. The descriptor stays open meanwhile:
// close() waits for this commit before it closes it.
void DurableFile::runCommit(std::unique_lock<std::mutex>& lk) noexcept {
    committing_ = true;
    const uint64_t round = ++started_;
    const int fd = fd_;
    lk.unlock();
    bool ok = false;
    {
        const ThreadPool::DiskWait disk;
        ok = fd >= 0 && sync_(fd) == 0;
    }
    lk.lock();
    committing_ = false;
    for (Ticket** t = &waiting_; *t;) {
        if ((*t)->round_ <= round) {
            (*t)->done_ = true;
            (*t)->ok_ = ok;
            *t = (*t)->next_;
        } else {
            t = &(*t)->next_;
        }
    }
    committed_.notify_all();
}

bool DurableFile::write_committed(const char* data, std::size_t len) noexcept {
    Ticket ticket;
    return append(data, len, &ticket) && commit(ticket);
}

void DurableFile::close() noexcept {
    std::unique_lock lk(m_);
    if (fd_ < 0) return;
    // Waiters of this file are answered by a commit of this file, not of the next.
    committed_.wait(lk, [this] { return !committing_; });
    if (appended_ > started_) runCommit(lk);
    ::close(fd_);
    fd_ = -1;
    position_ = 0;
}

}  // namespace Platform
