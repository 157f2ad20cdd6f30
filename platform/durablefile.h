#pragma once
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace Platform {

/// An append-only file whose writes are committed to disk before their writers go on.
/// Writers that wait at the same time share commits: a commit covers every byte
/// appended before it began, so a writer waits for at most the commit already under
/// way and then its own. Appends, opening and closing come from one thread at a time
/// (the caller serialises them); any number of threads may wait in commit().
class DurableFile {
  public:
    /// Commits the data of a descriptor; 0 on success (fdatasync by default).
    using Sync = std::function<int(int fd)>;

    DurableFile();
    explicit DurableFile(Sync sync);
    DurableFile(const DurableFile&) = delete;
    DurableFile& operator=(const DurableFile&) = delete;
    ~DurableFile() { close(); }

    bool open_append(const std::string& path) noexcept;
    bool is_open() const noexcept { return fd_ >= 0; }
    /// A writer's place among the commits, kept on its own stack from append() until
    /// commit() or its end.
    class Ticket {
      public:
        Ticket() = default;
        ~Ticket();
        Ticket(const Ticket&) = delete;
        Ticket& operator=(const Ticket&) = delete;
        /// Whether an append took it and commit() has yet to return.
        bool pending() const noexcept { return file_ != nullptr; }

      private:
        friend class DurableFile;
        DurableFile* file_ = nullptr;  // set while waiting for a commit
        uint64_t round_ = 0;           // the first commit to begin after the write
        bool done_ = false;
        bool ok_ = false;
        Ticket* next_ = nullptr;
    };

    /// Writes all bytes without committing them; false when the write failed, and then
    /// the part written is cut off again, so that the file holds no half line. With a
    /// ticket, commit() then waits for the bytes to be committed.
    bool append(const char* data, std::size_t len, Ticket* ticket = nullptr) noexcept;
    /// Returns once a commit that began after the ticket's append has finished: true
    /// when that commit succeeded; false for a ticket of a failed append.
    bool commit(Ticket& ticket) noexcept;
    /// append() and commit() in one.
    bool write_committed(const char* data, std::size_t len) noexcept;
    // Current end-of-file position: size at opening plus bytes written since.
    uint64_t position() const noexcept { return position_; }
    /// Commits what was appended and not yet committed, then closes.
    void close() noexcept;

  private:
    void forget(Ticket& ticket) noexcept;
    void dropPartial(std::size_t written) noexcept;
    void runCommit(std::unique_lock<std::mutex>& lk) noexcept;

    Sync sync_;
    int fd_ = -1;
    uint64_t position_ = 0;
    std::mutex m_;
    std::condition_variable committed_;
    uint64_t started_ = 0;   // commits begun, ever
    uint64_t appended_ = 0;  // the commit that covers the last append
    bool committing_ = false;
    Ticket* waiting_ = nullptr;  // tickets not yet covered by a finished commit
};

}  // namespace Platform
