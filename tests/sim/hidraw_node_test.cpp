// The simulated node against what the kernel's hidraw driver does, through real system calls.

#include <linux/hidraw.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>

#include <cstring>
#include <fstream>
#include <future>
#include <iterator>

#include "tests/sim/node_fixture.h"
#include "tools/thermometer-sim/monotonic.h"
#include "tools/thermometer-sim/report_format.h"

namespace thermo::sim::test {
namespace {

using namespace std::chrono;
using Clock = steady_clock;

const ValueBytes kDefaultValue = DeviceSettings{}.value;

TEST_F(NodeTest, EachReadDeliversOneWholeReport) {
    start();
    os::UniqueFd fd = openThermometer();
    simulator_->send(0, 3);
    auto expected = inputReport({}, kDefaultValue);
    for (int i = 0; i < 3; ++i) {
        auto r = readNode(fd.get(), 4096);
        ASSERT_EQ(r.result, 64) << std::strerror(r.error);
        EXPECT_EQ(r.bytes, expected);
    }
    ::fcntl(fd.get(), F_SETFL, O_NONBLOCK);  // a flag set after open counts too
    EXPECT_EQ(readNode(fd.get()).error, EAGAIN);
}

TEST_F(NodeTest, AShortReadTakesTheWholeReportAndReturnsItsStart) {
    start();
    os::UniqueFd fd = openThermometer(O_RDWR | O_NONBLOCK);
    simulator_->send(0, 1);
    auto r = readNode(fd.get(), 2);
    ASSERT_EQ(r.result, 2);
    EXPECT_EQ(r.bytes, (std::vector<std::uint8_t>{kDefaultValue.high, kDefaultValue.low}));
    EXPECT_EQ(readNode(fd.get()).error, EAGAIN);
}

TEST_F(NodeTest, WithReportIdsEveryReportStartsWithItsId) {
    start(0, {true, 64});
    os::UniqueFd fd = openThermometer();
    simulator_->send(0, 1);
    auto r = readNode(fd.get());
    ASSERT_EQ(r.result, 65);
    EXPECT_EQ(r.bytes[0], kThermometerReportId);
    EXPECT_EQ(r.bytes[1], kDefaultValue.high);
    EXPECT_EQ(r.bytes[2], kDefaultValue.low);
}

TEST_F(NodeTest, PollTimesOutWhenNothingArrives) {
    start();
    os::UniqueFd fd = openThermometer(O_RDWR | O_NONBLOCK);
    pollfd p{fd.get(), POLLIN, 0};
    auto began = Clock::now();
    EXPECT_EQ(::poll(&p, 1, 100), 0);
    EXPECT_GE(Clock::now() - began, milliseconds(95));
}

TEST_F(NodeTest, PollWakesWhenAReportArrives) {
    start();
    os::UniqueFd fd = openThermometer(O_RDWR | O_NONBLOCK);
    auto polled = std::async(std::launch::async, [&] {
        pollfd p{fd.get(), POLLIN, 0};
        int ready = ::poll(&p, 1, 20000);
        return ready == 1 ? p.revents : -1;
    });
    ASSERT_TRUE(waitFor([](const DeviceStatus& s) { return s.armedPolls == 1; }));
    simulator_->send(0, 1);
    ASSERT_EQ(polled.wait_for(seconds(10)), std::future_status::ready);
    EXPECT_EQ(polled.get(), POLLIN);
    EXPECT_EQ(readNode(fd.get()).result, 64);
}

TEST_F(NodeTest, ABlockedReadGetsTheNextReport) {
    start();
    os::UniqueFd fd = openThermometer();
    auto reading = std::async(std::launch::async, [&] { return readNode(fd.get()); });
    ASSERT_TRUE(waitFor([](const DeviceStatus& s) { return s.pendingReads == 1; }));
    simulator_->inject(0, {1, 2, 3});
    auto r = reading.get();
    EXPECT_EQ(r.bytes, (std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_EQ(simulator_->status(0).counters.deliveredSeq, simulator_->status(0).seq);
}

void ignoreSignal(int) {}

TEST_F(NodeTest, ASignalInterruptsABlockedRead) {
    start();
    struct sigaction action {};
    action.sa_handler = ignoreSignal;  // no SA_RESTART: the read must come back
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
    os::UniqueFd fd = openThermometer();
    std::promise<pthread_t> reader;
    auto reading = std::async(std::launch::async, [&] {
        reader.set_value(::pthread_self());
        return readNode(fd.get());
    });
    pthread_t thread = reader.get_future().get();
    ASSERT_TRUE(waitFor([](const DeviceStatus& s) { return s.pendingReads == 1; }));
    ::pthread_kill(thread, SIGUSR1);
    auto r = reading.get();
    ::sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.error, EINTR);
    auto status = simulator_->status(0);
    EXPECT_EQ(status.pendingReads, 0u);
    EXPECT_EQ(status.counters.readsInterrupted, 1u);
}

TEST_F(NodeTest, UnplugWakesAPollWithHangupAndErrorThenReadsFailWithEio) {
    start();
    os::UniqueFd fd = openThermometer(O_RDWR | O_NONBLOCK);
    auto polled = std::async(std::launch::async, [&] {
        pollfd p{fd.get(), POLLIN, 0};
        return ::poll(&p, 1, 20000) == 1 ? p.revents : -1;
    });
    ASSERT_TRUE(waitFor([](const DeviceStatus& s) { return s.armedPolls == 1; }));
    simulator_->unplug(0);
    ASSERT_EQ(polled.wait_for(seconds(10)), std::future_status::ready);
    EXPECT_EQ(polled.get(), POLLERR | POLLHUP);
    // hidraw reports the device gone even to a non-blocking read.
    EXPECT_EQ(readNode(fd.get()).error, EIO);
}

TEST_F(NodeTest, UnplugEndsABlockedReadWithEio) {
    start();
    os::UniqueFd fd = openThermometer();
    auto reading = std::async(std::launch::async, [&] { return readNode(fd.get()); });
    ASSERT_TRUE(waitFor([](const DeviceStatus& s) { return s.pendingReads == 1; }));
    simulator_->unplug(0);
    EXPECT_EQ(reading.get().error, EIO);
}

TEST_F(NodeTest, ReportsQueuedBeforeAnUnplugAreStillRead) {
    start();
    os::UniqueFd fd = openThermometer(O_RDWR | O_NONBLOCK);
    simulator_->send(0, 2);
    simulator_->unplug(0);
    EXPECT_EQ(readNode(fd.get()).result, 64);
    EXPECT_EQ(readNode(fd.get()).result, 64);
    EXPECT_EQ(readNode(fd.get()).error, EIO);
}

TEST_F(NodeTest, AfterAnUnplugTheNodeIsGoneAndOpenAndIoctlFailWithNoDevice) {
    start();
    std::string node = simulator_->status(0).node;
    os::UniqueFd fd = openThermometer();
    simulator_->unplug(0);
    EXPECT_FALSE(std::filesystem::exists(node));
    // The file still open reaches the node that was there, as a path held across the unplug
    // would; hidraw refuses it.
    std::string reopen = "/proc/self/fd/" + std::to_string(fd.get());
    EXPECT_LT(::open(reopen.c_str(), O_RDWR | O_CLOEXEC), 0);
    EXPECT_EQ(errno, ENODEV);
    hidraw_devinfo info{};
    EXPECT_EQ(::ioctl(fd.get(), HIDIOCGRAWINFO, &info), -1);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_EQ(simulator_->status(0).counters.opensRefused, 1u);
}

TEST_F(NodeTest, EveryOpenFileQueuesAtMost63AndDropsNewReports) {
    start();
    os::UniqueFd first = openThermometer(O_RDWR | O_NONBLOCK);
    os::UniqueFd second = openThermometer(O_RDWR | O_NONBLOCK);
    for (int i = 0; i < 100; ++i) simulator_->inject(0, {static_cast<std::uint8_t>(i), 0});
    // The kernel's ring has HIDRAW_BUFFER_SIZE slots and keeps one free.
    const std::size_t kept = HIDRAW_BUFFER_SIZE - 1;
    EXPECT_EQ(simulator_->status(0).queued, (std::vector<std::size_t>{kept, kept}));
    for (os::UniqueFd* fd : {&first, &second}) {
        for (std::size_t i = 0; i < kept; ++i) {
            auto r = readNode(fd->get());
            ASSERT_EQ(r.result, 2);
            EXPECT_EQ(r.bytes[0], i) << "the oldest reports stay, the newest are dropped";
        }
        EXPECT_EQ(readNode(fd->get()).error, EAGAIN);
    }
    EXPECT_EQ(simulator_->status(0).counters.dropped, 2u * (100 - kept));
}

std::vector<std::uint8_t> fileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

TEST_F(NodeTest, IoctlsDescribeTheDeviceAsSysfsDoes) {
    start(0, {true, 8});
    os::UniqueFd fd = openThermometer();
    auto expected = reportDescriptor({true, 8});

    int size = 0;
    ASSERT_EQ(::ioctl(fd.get(), HIDIOCGRDESCSIZE, &size), 0);
    EXPECT_EQ(size, static_cast<int>(expected.size()));

    hidraw_report_descriptor descriptor{};
    descriptor.size = static_cast<__u32>(size);
    ASSERT_EQ(::ioctl(fd.get(), HIDIOCGRDESC, &descriptor), 0);
    std::vector<std::uint8_t> got(descriptor.value, descriptor.value + size);
    EXPECT_EQ(got, expected);
    EXPECT_EQ(got, fileBytes(sys() / "class/hidraw/hidraw0/device/report_descriptor"));

    hidraw_devinfo info{};
    ASSERT_EQ(::ioctl(fd.get(), HIDIOCGRAWINFO, &info), 0);
    EXPECT_EQ(info.bustype, 3u);  // BUS_USB
    EXPECT_EQ(static_cast<std::uint16_t>(info.vendor), 0x04D8);
    EXPECT_EQ(static_cast<std::uint16_t>(info.product), 0x0002);

    char name[64] = {};
    int length = ::ioctl(fd.get(), HIDIOCGRAWNAME(sizeof name), name);
    EXPECT_EQ(length, static_cast<int>(std::strlen(name) + 1));
    EXPECT_STREQ(name, "Simulated USB Thermometer");
    char shortName[4] = {};
    EXPECT_EQ(::ioctl(fd.get(), HIDIOCGRAWNAME(sizeof shortName), shortName), 4);

    char feature[8] = {0};
    EXPECT_EQ(::ioctl(fd.get(), HIDIOCGFEATURE(sizeof feature), feature), -1);
    EXPECT_EQ(errno, EPIPE);
    EXPECT_EQ(::ioctl(fd.get(), _IOR('H', 0x30, int), &size), -1);
    EXPECT_EQ(errno, ENOTTY);
}

TEST_F(NodeTest, WritesOfTwoBytesOrMoreAreTakenAndCounted) {
    start();
    os::UniqueFd fd = openThermometer();
    const std::uint8_t report[8] = {0};
    EXPECT_EQ(::write(fd.get(), report, 1), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(::write(fd.get(), report, 8), 8);
    EXPECT_EQ(simulator_->status(0).counters.writes, 2u);
}

TEST_F(NodeTest, OpenFilesAreCountedUntilClosed) {
    start();
    os::UniqueFd first = openThermometer();
    {
        os::UniqueFd second = openThermometer(O_RDONLY);
        EXPECT_EQ(simulator_->status(0).openFiles, 2u);
    }
    // The kernel tells a file system about a close after close() has returned.
    EXPECT_TRUE(waitFor([](const DeviceStatus& s) { return s.openFiles == 1; }));
    EXPECT_EQ(simulator_->status(0).counters.opens, 2u);
}

TEST_F(NodeTest, ReportsComeAtTheRateAndCarryTheirSequenceNumbers) {
    start();
    os::UniqueFd fd = openThermometer();
    std::int64_t before = monotonicNs();
    simulator_->setRate(0, 200);
    ASSERT_TRUE(waitFor([](const DeviceStatus& s) { return s.seq >= 5; }));
    simulator_->setRate(0, 0);
    auto r = readNode(fd.get());
    ASSERT_EQ(r.result, 64);
    auto status = simulator_->status(0);
    EXPECT_EQ(status.counters.deliveredSeq, 1u);  // the oldest queued report came first
    EXPECT_GT(status.counters.deliveredNs, before);
    EXPECT_LE(status.counters.deliveredNs, monotonicNs());
    EXPECT_GE(status.seqNs, before);
}

}  // namespace
}  // namespace thermo::sim::test
