#include "tools/thermometer-sim/hidraw_node.h"

#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/thermometer-sim/monotonic.h"

namespace fs = std::filesystem;

namespace thermo::sim {
namespace {

// hidraw refuses writes longer than the HID core's largest report.
constexpr std::size_t kHidMaxBufferSize = 16384;

HidrawNode& nodeOf(fuse_req_t req) { return *static_cast<HidrawNode*>(fuse_req_userdata(req)); }

std::string mountOptions(int fuseFd) {
    char rootMode[16];
    std::snprintf(rootMode, sizeof rootMode, "%o", static_cast<unsigned>(S_IFREG));
    return "fd=" + std::to_string(fuseFd) + ",rootmode=" + rootMode +
           ",user_id=" + std::to_string(::getuid()) + ",group_id=" + std::to_string(::getgid()) +
           ",allow_other";
}

}  // namespace

FuseBuffer::~FuseBuffer() { std::free(buf_.mem); }

HidrawNode::HidrawNode(std::mutex& lock, std::condition_variable& changed, NodeCounters& counters,
                       NodeDescription description, int minor, fs::path path,
                       const fs::path& fuseDevice)
    : lock_(lock),
      changed_(changed),
      counters_(counters),
      description_(std::move(description)),
      minor_(minor),
      path_(std::move(path)) {
    clock_gettime(CLOCK_REALTIME, &created_);
    // Non-blocking: the serving thread polls many nodes, and a request can vanish (its caller
    // interrupted) between poll() and read().
    os::UniqueFd fuse(::open(fuseDevice.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK));
    if (!fuse) throwSysError("open", fuseDevice.native());
    std::string options = mountOptions(fuse.get());
    if (::mount("usb-thermometer-sim", path_.c_str(), "fuse.usb-thermometer-sim",
                MS_NOSUID | MS_NODEV | MS_NOEXEC, options.c_str()) != 0)
        throwSysError("mount fuse on", path_.native());

    char name[] = "usb-thermometer-sim";
    char* argv[] = {name, nullptr};
    fuse_args args = FUSE_ARGS_INIT(1, argv);
    session_.reset(fuse_session_new(&args, &operations(), sizeof(fuse_lowlevel_ops), this));
    fuse_opt_free_args(&args);
    // libfuse takes a mount made by its caller when given the channel as /dev/fd/N.
    std::string channel = "/dev/fd/" + std::to_string(fuse.get());
    if (!session_ || fuse_session_mount(session_.get(), channel.c_str()) != 0) {
        detach(path_);
        throw SysError("fuse_session_mount", path_.native(), EIO);
    }
    fuse.release();  // the session closes it
}

HidrawNode::~HidrawNode() {
    // The connection is over (or being torn down): these answers only free the requests.
    for (auto& [id, file] : files_)
        for (auto& pending : file.pendingReads) fuse_reply_err(pending.req, ENODEV);
    files_.clear();
    session_.reset();
}

int HidrawNode::channel() const { return fuse_session_fd(session_.get()); }

bool HidrawNode::serveOneRequest(FuseBuffer& buffer) {
    int received = fuse_session_receive_buf(session_.get(), &buffer.get());
    if (received == -EINTR || received == -EAGAIN) return true;
    if (received <= 0) return false;  // ENODEV: unmounted and the last file closed
    fuse_session_process_buf(session_.get(), &buffer.get());
    return !fuse_session_exited(session_.get());
}

const fuse_lowlevel_ops& HidrawNode::operations() {
    static const fuse_lowlevel_ops ops = [] {
        fuse_lowlevel_ops o{};
        o.getattr = onGetattr;
        o.setattr = onSetattr;
        o.open = onOpen;
        o.read = onRead;
        o.write = onWrite;
        o.release = onRelease;
        o.poll = onPoll;
        o.ioctl = onIoctl;
        return o;
    }();
    return ops;
}

struct stat HidrawNode::attributes() const {
    struct stat st {};
    st.st_ino = FUSE_ROOT_ID;
    st.st_mode = S_IFREG | 0600;
    st.st_nlink = 1;
    st.st_uid = ::getuid();
    st.st_gid = ::getgid();
    st.st_atim = st.st_mtim = st.st_ctim = created_;
    return st;
}

void HidrawNode::onGetattr(fuse_req_t req, fuse_ino_t, fuse_file_info*) {
    struct stat st = nodeOf(req).attributes();
    fuse_reply_attr(req, &st, 3600.0);
}

void HidrawNode::onSetattr(fuse_req_t req, fuse_ino_t, struct stat*, int, fuse_file_info*) {
    // A character device ignores truncation and time changes; so does the node.
    struct stat st = nodeOf(req).attributes();
    fuse_reply_attr(req, &st, 3600.0);
}

void HidrawNode::onOpen(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
    HidrawNode& self = nodeOf(req);
    std::lock_guard guard(self.lock_);
    if (!self.exists_) {
        ++self.counters_.opensRefused;
        self.changed_.notify_all();
        fuse_reply_err(req, ENODEV);
        return;
    }
    std::uint64_t id = self.nextFile_++;
    fi->fh = id;
    fi->direct_io = 1;  // every read reaches us: one report each, never the page cache
    fi->nonseekable = 1;
    fi->noflush = 1;
    fi->keep_cache = 0;
    self.files_.emplace(id, OpenFile{});
    if (fuse_reply_open(req, fi) != 0) {
        // The opener was interrupted; the kernel will not release this file.
        self.files_.erase(id);
        return;
    }
    ++self.counters_.opens;
    self.changed_.notify_all();
}

bool HidrawNode::replyReport(fuse_req_t req, const Report& report, std::size_t size) {
    std::size_t length = std::min(size, report.bytes.size());
    if (fuse_reply_buf(req, reinterpret_cast<const char*>(report.bytes.data()), length) != 0)
        return false;
    ++counters_.reads;
    counters_.deliveredSeq = report.seq;
    counters_.deliveredNs = monotonicNs();
    return true;
}

void HidrawNode::onRead(fuse_req_t req, fuse_ino_t, size_t size, off_t, fuse_file_info* fi) {
    HidrawNode& self = nodeOf(req);
    // Registered before taking the lock: when the reader is already interrupted, libfuse calls
    // the handler right here, and the handler takes the lock itself.
    fuse_req_interrupt_func(req, onReadInterrupted, &self);
    std::lock_guard guard(self.lock_);
    OpenFile* found = self.openFile(req, fi);
    if (found == nullptr) return;
    OpenFile& file = *found;
    if (!file.queue.empty()) {
        if (self.replyReport(req, file.queue.front(), size)) file.queue.pop_front();
    } else if (fuse_req_interrupted(req)) {
        // hidraw checks, in this order: a signal, the device gone, O_NONBLOCK.
        ++self.counters_.readsInterrupted;
        fuse_reply_err(req, EINTR);
    } else if (!self.exists_) {
        ++self.counters_.readsFailed;
        fuse_reply_err(req, EIO);
    } else if (fi->flags & O_NONBLOCK) {
        ++self.counters_.readsWouldBlock;
        fuse_reply_err(req, EAGAIN);
    } else {
        file.pendingReads.push_back({req, size});
    }
    self.changed_.notify_all();
}

void HidrawNode::onReadInterrupted(fuse_req_t req, void* data) {
    HidrawNode& self = *static_cast<HidrawNode*>(data);
    std::lock_guard guard(self.lock_);
    for (auto& [id, file] : self.files_) {
        auto waiting = std::find_if(file.pendingReads.begin(), file.pendingReads.end(),
                                    [req](const PendingRead& p) { return p.req == req; });
        if (waiting == file.pendingReads.end()) continue;
        file.pendingReads.erase(waiting);
        ++self.counters_.readsInterrupted;
        fuse_reply_err(req, EINTR);
        self.changed_.notify_all();
        return;
    }
    // Not waiting (any more): answered already, or about to be by onRead.
}

void HidrawNode::onWrite(fuse_req_t req, fuse_ino_t, const char*, size_t size, off_t,
                         fuse_file_info*) {
    HidrawNode& self = nodeOf(req);
    std::lock_guard guard(self.lock_);
    ++self.counters_.writes;
    self.changed_.notify_all();
    if (!self.exists_) {
        fuse_reply_err(req, ENODEV);
    } else if (size < 2 || size > kHidMaxBufferSize) {
        fuse_reply_err(req, EINVAL);
    } else {
        // The thermometer takes output reports and does nothing with them.
        fuse_reply_write(req, size);
    }
}

void HidrawNode::onRelease(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
    HidrawNode& self = nodeOf(req);
    std::lock_guard guard(self.lock_);
    auto found = self.files_.find(fi->fh);
    if (found != self.files_.end()) {
        // The kernel releases a file only when no call on it is left, so none should wait.
        for (auto& pending : found->second.pendingReads) fuse_reply_err(pending.req, EBADF);
        self.files_.erase(found);
        ++self.counters_.releases;
        self.changed_.notify_all();
    }
    fuse_reply_err(req, 0);
}

HidrawNode::OpenFile* HidrawNode::openFile(fuse_req_t req, const fuse_file_info* fi) {
    auto found = files_.find(fi->fh);
    if (found != files_.end()) return &found->second;
    fuse_reply_err(req, EBADF);
    return nullptr;
}

void HidrawNode::onPoll(fuse_req_t req, fuse_ino_t, fuse_file_info* fi, fuse_pollhandle* ph) {
    HidrawNode& self = nodeOf(req);
    std::unique_ptr<fuse_pollhandle, PollHandleDeleter> handle(ph);
    std::lock_guard guard(self.lock_);
    OpenFile* found = self.openFile(req, fi);
    if (found == nullptr) return;
    OpenFile& file = *found;
    // The kernel passes a handle whenever someone sleeps on the file; keep the latest.
    if (handle) file.poll = std::move(handle);
    unsigned mask = POLLOUT | POLLWRNORM;  // hidraw is always writable
    if (!file.queue.empty()) mask |= POLLIN | POLLRDNORM;
    if (!self.exists_) mask |= POLLERR | POLLHUP;
    ++self.counters_.polls;
    self.changed_.notify_all();
    fuse_reply_poll(req, mask);
}

void HidrawNode::onIoctl(fuse_req_t req, fuse_ino_t, unsigned int cmd, void*, fuse_file_info* fi,
                         unsigned, const void*, size_t, size_t out_bufsz) {
    HidrawNode& self = nodeOf(req);
    std::lock_guard guard(self.lock_);
    ++self.counters_.ioctls;
    self.changed_.notify_all();
    if (self.openFile(req, fi) == nullptr) return;
    if (!self.exists_) {
        fuse_reply_err(req, ENODEV);
    } else {
        self.answerIoctl(req, cmd, out_bufsz);
    }
}

void HidrawNode::answerIoctl(fuse_req_t req, unsigned int cmd, std::size_t outSize) {
    const auto& descriptor = description_.reportDescriptor;
    const HidIdentity& id = description_.identity;
    switch (cmd) {
        case HIDIOCGRDESCSIZE: {
            int size = static_cast<int>(descriptor.size());
            fuse_reply_ioctl(req, 0, &size, sizeof size);
            return;
        }
        case HIDIOCGRDESC: {
            // FUSE hands a file system nothing of an _IOR argument, so the size the caller
            // asks for is unknown here: the whole descriptor goes back, with its size.
            hidraw_report_descriptor reply{};
            std::size_t n = std::min(descriptor.size(), sizeof reply.value);
            reply.size = static_cast<__u32>(n);
            std::memcpy(reply.value, descriptor.data(), n);
            fuse_reply_ioctl(req, 0, &reply, offsetof(hidraw_report_descriptor, value) + n);
            return;
        }
        case HIDIOCGRAWINFO: {
            hidraw_devinfo info{};
            info.bustype = id.bus;
            info.vendor = static_cast<__s16>(id.vendor);
            info.product = static_cast<__s16>(id.product);
            fuse_reply_ioctl(req, 0, &info, sizeof info);
            return;
        }
        default:
            break;
    }
    if (_IOC_TYPE(cmd) != 'H') {
        fuse_reply_err(req, EINVAL);
        return;
    }
    switch (_IOC_NR(cmd)) {
        case _IOC_NR(HIDIOCSFEATURE(0)):
        case _IOC_NR(HIDIOCGFEATURE(0)):
        case _IOC_NR(HIDIOCSINPUT(0)):
        case _IOC_NR(HIDIOCGINPUT(0)):
        case _IOC_NR(HIDIOCSOUTPUT(0)):
        case _IOC_NR(HIDIOCGOUTPUT(0)):
            // The thermometer answers no control transfers; usbhid passes on its stall.
            fuse_reply_err(req, EPIPE);
            return;
        default:
            break;
    }
    if (_IOC_DIR(cmd) != _IOC_READ) {
        fuse_reply_err(req, EINVAL);
        return;
    }
    const std::string* text = nullptr;
    if (_IOC_NR(cmd) == _IOC_NR(HIDIOCGRAWNAME(0))) text = &id.name;
    if (_IOC_NR(cmd) == _IOC_NR(HIDIOCGRAWPHYS(0))) text = &id.phys;
    if (_IOC_NR(cmd) == _IOC_NR(HIDIOCGRAWUNIQ(0))) text = &id.uniq;
    if (!text) {
        fuse_reply_err(req, ENOTTY);
        return;
    }
    std::size_t length = std::min({text->size() + 1, std::size_t{_IOC_SIZE(cmd)}, outSize});
    fuse_reply_ioctl(req, static_cast<int>(length), text->c_str(), length);
}

void HidrawNode::notifyPoll(OpenFile& file) {
    if (!file.poll) return;
    fuse_lowlevel_notify_poll(file.poll.get());
    // The woken poller polls again and brings a fresh handle.
    file.poll.reset();
}

void HidrawNode::deliver(std::span<const std::uint8_t> report, std::uint64_t seq) {
    for (auto& [id, file] : files_) {
        Report copy{{report.begin(), report.end()}, seq};
        bool taken = false;
        while (!taken && !file.pendingReads.empty()) {
            PendingRead reader = file.pendingReads.front();
            file.pendingReads.pop_front();
            // A reader that went away meanwhile (a fatal signal) leaves the report queued.
            taken = replyReport(reader.req, copy, reader.size);
        }
        if (taken) continue;
        if (file.queue.size() >= kReportQueueCapacity) {
            ++counters_.dropped;
            continue;
        }
        file.queue.push_back(std::move(copy));
        notifyPoll(file);
    }
    changed_.notify_all();
}

void HidrawNode::disconnect() {
    exists_ = false;
    for (auto& [id, file] : files_) {
        for (auto& pending : file.pendingReads) {
            ++counters_.readsFailed;
            fuse_reply_err(pending.req, EIO);
        }
        file.pendingReads.clear();
        notifyPoll(file);
    }
    changed_.notify_all();
}

std::vector<std::size_t> HidrawNode::queueLengths() const {
    std::vector<std::size_t> lengths;
    for (const auto& [id, file] : files_) lengths.push_back(file.queue.size());
    return lengths;
}

std::size_t HidrawNode::pendingReads() const {
    std::size_t count = 0;
    for (const auto& [id, file] : files_) count += file.pendingReads.size();
    return count;
}

std::size_t HidrawNode::armedPolls() const {
    return static_cast<std::size_t>(std::count_if(
        files_.begin(), files_.end(), [](const auto& f) { return bool(f.second.poll); }));
}

void HidrawNode::detach(const fs::path& path) {
    // EINVAL when it was detached already.
    ::umount2(path.c_str(), MNT_DETACH);
    ::unlink(path.c_str());
}

}  // namespace thermo::sim
