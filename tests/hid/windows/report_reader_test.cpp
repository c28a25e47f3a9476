// The Windows report read against a stand-in for a HID interface: a message-mode named pipe
// read overlapped. Each message written is one input report, messages written and not yet read
// are the reports the HID driver has queued, and closing the writing end is the unplug.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "hid/windows/windows_platform.h"
#include "tests/support/wait_until.h"

namespace thermo::hid {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using thermo::testing::kPatience;
// A time-out the tests never reach: a read that ends within kPatience did not wait for it.
constexpr milliseconds kUnreached = 2 * kPatience;

class PipeDevice {
  public:
    PipeDevice() {
        static std::atomic<int> counter{0};
        name_ = "\\\\.\\pipe\\thermo-report-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                std::to_string(counter++);
        writer_.reset(CreateNamedPipeA(name_.c_str(), PIPE_ACCESS_OUTBOUND,
                                       PIPE_TYPE_MESSAGE | PIPE_WAIT, 1, 65536, 65536, 0, nullptr));
        if (!writer_) {
            ADD_FAILURE() << os::callFailed("CreateNamedPipeA", name_, GetLastError());
            return;
        }
        // FILE_WRITE_ATTRIBUTES lets the reader switch to message reads.
        os::UniqueHandle reader(CreateFileA(name_.c_str(), GENERIC_READ | FILE_WRITE_ATTRIBUTES, 0,
                                            nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
        if (!reader) {
            ADD_FAILURE() << os::callFailed("CreateFileA", name_, GetLastError());
            return;
        }
        DWORD mode = PIPE_READMODE_MESSAGE;
        if (!SetNamedPipeHandleState(reader.get(), &mode, nullptr, nullptr)) {
            ADD_FAILURE() << os::callFailed("SetNamedPipeHandleState", name_, GetLastError());
        }
        reader_ = std::make_unique<WindowsHandle>(std::move(reader), name_);
    }

    void send(const Bytes& report) {
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(writer_.get(), report.data(), static_cast<DWORD>(report.size()),
                              &written, nullptr))
            << os::callFailed("WriteFile", name_, GetLastError());
        ASSERT_EQ(written, report.size());
    }

    void unplug() { writer_.reset(); }

    const WindowsHandle& reader() const { return *reader_; }
    const std::string& name() const { return name_; }

  private:
    std::string name_;
    os::UniqueHandle writer_;
    std::unique_ptr<WindowsHandle> reader_;
};

class ReportReaderTest : public ::testing::Test {
  protected:
    ReadResult read(milliseconds timeout, std::size_t length = 3) {
        buffer.assign(length, 0);
        const auto start = Clock::now();
        ReadResult result = readNewestReport(device.reader(), event, buffer, timeout);
        elapsed = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
        return result;
    }

    bool reportEventSignalled() const {
        return WaitForSingleObject(event.reportEvent(), 0) == WAIT_OBJECT_0;
    }

    PipeDevice device;
    WindowsWaitEvent event;
    Bytes buffer;
    milliseconds elapsed{0};
};

TEST_F(ReportReaderTest, QueuedReportsGiveTheNewestAndLeaveTheQueueEmpty) {
    device.send({0, 0x10, 0x01});
    device.send({0, 0x20, 0x02});
    device.send({0, 0x85, 0x00});

    const ReadResult result = read(kUnreached);
    ASSERT_EQ(result.outcome, ReadOutcome::Report) << result.error;
    EXPECT_EQ(result.bytes, 3u);
    EXPECT_EQ(buffer, (Bytes{0, 0x85, 0x00}));
    EXPECT_LT(elapsed, kPatience) << "queued reports must not wait for the time-out";

    // The older reports were consumed, not left for the next read to find.
    EXPECT_EQ(read(milliseconds(200)).outcome, ReadOutcome::TimedOut);
}

// More than the 32 reports the HID driver queues by default, and the drain still ends.
TEST_F(ReportReaderTest, LongQueueIsDrainedToItsLastReport) {
    for (std::uint8_t i = 1; i <= 100; ++i) {
        device.send({0, i, static_cast<std::uint8_t>(255 - i)});
    }
    const ReadResult result = read(kUnreached);
    ASSERT_EQ(result.outcome, ReadOutcome::Report) << result.error;
    EXPECT_EQ(buffer, (Bytes{0, 100, 155}));
}

TEST_F(ReportReaderTest, SilentDeviceTimesOutAndTheCancelledReadTakesNothingWithIt) {
    const ReadResult silent = read(milliseconds(300));
    EXPECT_EQ(silent.outcome, ReadOutcome::TimedOut);
    EXPECT_GE(elapsed, milliseconds(250));
    EXPECT_LT(elapsed, kPatience);
    EXPECT_EQ(buffer, (Bytes{0, 0, 0}));

    // Had the cancelled read stayed outstanding, it would swallow this report.
    device.send({0, 0x44, 0x40});
    const ReadResult next = read(kUnreached);
    ASSERT_EQ(next.outcome, ReadOutcome::Report) << next.error;
    EXPECT_EQ(buffer, (Bytes{0, 0x44, 0x40}));
}

// The writer sends while the read waits; had it sent before the read began, the report would be
// queued and the expected outcome the same, so the delay only steers which path runs.
TEST_F(ReportReaderTest, ReportArrivingDuringTheWaitEndsItAtOnce) {
    std::thread writer([&] {
        std::this_thread::sleep_for(milliseconds(100));
        device.send({0, 0x85, 0x00});
    });
    const ReadResult result = read(kUnreached);
    writer.join();
    ASSERT_EQ(result.outcome, ReadOutcome::Report) << result.error;
    EXPECT_EQ(buffer, (Bytes{0, 0x85, 0x00}));
    EXPECT_LT(elapsed, kPatience);
}

TEST_F(ReportReaderTest, UnplugDuringTheWaitIsGoneAtOnceNamingTheCall) {
    std::thread unplugger([&] {
        std::this_thread::sleep_for(milliseconds(100));
        device.unplug();
    });
    const ReadResult result = read(kUnreached);
    unplugger.join();
    EXPECT_EQ(result.outcome, ReadOutcome::Gone);
    EXPECT_LT(elapsed, kPatience) << "an unplug must not wait for the time-out";
    EXPECT_NE(result.error.find("ReadFile " + device.name() + ": "), std::string::npos)
        << result.error;
    EXPECT_NE(result.error.find("(error "), std::string::npos) << result.error;
}

TEST_F(ReportReaderTest, ReadAfterUnplugIsGoneWithoutWaiting) {
    device.unplug();
    const ReadResult result = read(kUnreached);
    EXPECT_EQ(result.outcome, ReadOutcome::Gone);
    EXPECT_LT(elapsed, kPatience);
}

// A report queued before the device went does not make it look present for one more reading.
TEST_F(ReportReaderTest, QueuedReportBeforeUnplugIsGoneAtOnce) {
    device.send({0, 0x12, 0x34});
    device.unplug();
    const ReadResult first = read(kUnreached);
    EXPECT_EQ(first.outcome, ReadOutcome::Gone);
    EXPECT_NE(first.error.find("ReadFile " + device.name() + ": "), std::string::npos)
        << first.error;
    EXPECT_EQ(read(kUnreached).outcome, ReadOutcome::Gone);
}

TEST_F(ReportReaderTest, WakeEndsAPendingReadAndEveryLaterOne) {
    std::thread waker([&] {
        std::this_thread::sleep_for(milliseconds(100));
        event.wake();
    });
    const ReadResult woken = read(kUnreached);
    waker.join();
    EXPECT_EQ(woken.outcome, ReadOutcome::Woken);
    EXPECT_LT(elapsed, kPatience);

    device.send({0, 0x85, 0x00});
    EXPECT_EQ(read(kUnreached).outcome, ReadOutcome::Woken);
    EXPECT_LT(elapsed, kPatience);
}

TEST_F(ReportReaderTest, ReportEventStartsSignalledAndEndsEveryReadUnsignalled) {
    EXPECT_TRUE(reportEventSignalled());

    device.send({0, 1, 2});
    ASSERT_EQ(read(kUnreached).outcome, ReadOutcome::Report);
    EXPECT_FALSE(reportEventSignalled());

    ASSERT_EQ(read(milliseconds(100)).outcome, ReadOutcome::TimedOut);
    EXPECT_FALSE(reportEventSignalled());
}

TEST_F(ReportReaderTest, ShortReportFillsTheRestWithZeros) {
    device.send({0, 0x77});
    const ReadResult result = read(kUnreached, 4);
    ASSERT_EQ(result.outcome, ReadOutcome::Report) << result.error;
    EXPECT_EQ(result.bytes, 2u);
    EXPECT_EQ(buffer, (Bytes{0, 0x77, 0, 0}));
}

TEST_F(ReportReaderTest, EmptyBufferStartsNoRead) {
    device.send({0, 1, 2});
    EXPECT_EQ(read(kUnreached, 0).outcome, ReadOutcome::Gone);
    // The report is still there for a proper read.
    ASSERT_EQ(read(kUnreached).outcome, ReadOutcome::Report);
    EXPECT_EQ(buffer, (Bytes{0, 1, 2}));
}

}  // namespace
}  // namespace thermo::hid
