#pragma once

#include <fuse_lowlevel.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "tools/thermometer-sim/sys_error.h"
#include "tools/thermometer-sim/sysfs_tree.h"

namespace thermo::sim {

// hidraw keeps a ring of 64 slots per open file and drops a new report when the ring is full;
// one slot always stays free, so 63 reports wait at most.
inline constexpr std::size_t kReportQueueCapacity = 63;

// What happened on a device's nodes, summed over all of them (a replug makes a new node).
struct NodeCounters {
    std::uint64_t opens = 0;
    std::uint64_t opensRefused = 0;  // open after the device went: ENODEV
    std::uint64_t releases = 0;
    std::uint64_t reads = 0;  // reads that delivered a report
    std::uint64_t readsWouldBlock = 0;
    std::uint64_t readsFailed = 0;  // EIO: the device went
    std::uint64_t readsInterrupted = 0;
    std::uint64_t polls = 0;
    std::uint64_t writes = 0;
    std::uint64_t ioctls = 0;
    std::uint64_t dropped = 0;       // reports lost to a full queue
    std::uint64_t deliveredSeq = 0;  // sequence number of the last report a read delivered
    std::int64_t deliveredNs = 0;    // and when (CLOCK_MONOTONIC)
};

// What a hidraw node tells about its device.
struct NodeDescription {
    HidIdentity identity;
    std::vector<std::uint8_t> reportDescriptor;
};

// A receive buffer for FUSE requests, shared by all nodes served by one thread.
class FuseBuffer {
  public:
    FuseBuffer() = default;
    ~FuseBuffer();
    FuseBuffer(const FuseBuffer&) = delete;
    FuseBuffer& operator=(const FuseBuffer&) = delete;
    fuse_buf& get() { return buf_; }

  private:
    fuse_buf buf_{};
};

// One /dev/hidrawN: a single-file FUSE file system, mounted on an empty regular file, whose
// files behave like the kernel's hidraw files: one whole report per read, a separate report
// queue per open file, blocking reads or EAGAIN with O_NONBLOCK, poll, the hidraw ioctls, and
// the kernel's unplug (polls wake with POLLERR|POLLHUP, reads fail with EIO once the queue is
// empty, open and ioctl with ENODEV).
//
// Threads: serveOneRequest() runs on one thread and takes `lock` itself. Everything else is
// called with `lock` held, except detach(). Blocking reads never block that thread: they are
// answered when a report arrives, the device goes, or the reader is interrupted.
class HidrawNode {
  public:
    // Mounts the node on `path`, which must be an empty regular file.
    HidrawNode(std::mutex& lock, std::condition_variable& changed, NodeCounters& counters,
               NodeDescription description, int minor, std::filesystem::path path,
               const std::filesystem::path& fuseDevice = "/dev/fuse");
    ~HidrawNode();
    HidrawNode(const HidrawNode&) = delete;
    HidrawNode& operator=(const HidrawNode&) = delete;

    int minor() const { return minor_; }
    const std::filesystem::path& path() const { return path_; }
    // Readable when the kernel has a request for this node.
    int channel() const;

    // Reads and answers one request. False once the connection has ended: the node was
    // detached and its last file closed.
    bool serveOneRequest(FuseBuffer& buffer);

    // ---- with `lock` held
    bool exists() const { return exists_; }
    // Queues a report for every open file, as an interrupt transfer from the device does.
    void deliver(std::span<const std::uint8_t> report, std::uint64_t seq);
    // The device has gone: wakes blocked reads (EIO) and pollers (POLLERR|POLLHUP).
    void disconnect();
    void describe(NodeDescription description) { description_ = std::move(description); }
    std::size_t openFiles() const { return files_.size(); }
    std::vector<std::size_t> queueLengths() const;
    std::size_t pendingReads() const;
    std::size_t armedPolls() const;

    // ---- without `lock`
    // Takes the node out of the file system, as udev removes the device node; files already
    // open keep working. Idempotent.
    static void detach(const std::filesystem::path& path);

  private:
    struct Report {
        std::vector<std::uint8_t> bytes;
        std::uint64_t seq = 0;
    };
    struct PendingRead {
        fuse_req_t req;
        std::size_t size;  // bytes the reader asked for
    };
    struct PollHandleDeleter {
        void operator()(fuse_pollhandle* ph) const { fuse_pollhandle_destroy(ph); }
    };
    struct OpenFile {
        std::deque<Report> queue;
        std::deque<PendingRead> pendingReads;
        std::unique_ptr<fuse_pollhandle, PollHandleDeleter> poll;
    };
    struct SessionDeleter {
        void operator()(fuse_session* se) const { fuse_session_destroy(se); }
    };

    static const fuse_lowlevel_ops& operations();
    static void onGetattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi);
    static void onSetattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int to_set,
                          fuse_file_info* fi);
    static void onOpen(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi);
    static void onRead(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info* fi);
    static void onWrite(fuse_req_t req, fuse_ino_t ino, const char* buf, size_t size, off_t off,
                        fuse_file_info* fi);
    static void onRelease(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi);
    static void onPoll(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi, fuse_pollhandle* ph);
    static void onIoctl(fuse_req_t req, fuse_ino_t ino, unsigned int cmd, void* arg,
                        fuse_file_info* fi, unsigned flags, const void* in_buf, size_t in_bufsz,
                        size_t out_bufsz);
    static void onReadInterrupted(fuse_req_t req, void* data);

    struct stat attributes() const;
    // The file the request is on, or null once the request has been answered with EBADF.
    OpenFile* openFile(fuse_req_t req, const fuse_file_info* fi);
    bool replyReport(fuse_req_t req, const Report& report, std::size_t size);
    void answerIoctl(fuse_req_t req, unsigned int cmd, std::size_t outSize);
    void notifyPoll(OpenFile& file);

    std::mutex& lock_;
    std::condition_variable& changed_;
    NodeCounters& counters_;
    NodeDescription description_;
    int minor_;
    std::filesystem::path path_;
    std::unique_ptr<fuse_session, SessionDeleter> session_;
    bool exists_ = true;
    std::uint64_t nextFile_ = 1;
    std::map<std::uint64_t, OpenFile> files_;
    struct timespec created_ {};
};

}  // namespace thermo::sim
