#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hid/hid_platform.h"

namespace thermo::hid {

// A HID layer that lives in memory, for tests: interfaces are plugged and unplugged by the test,
// reports and read outcomes are queued per interface, and every call is recorded. All of it is
// guarded by one mutex, so reads may run on a worker thread while the test drives the rest.
//
// Reads: each read takes the next queued outcome of its interface. With nothing queued a present
// interface times out at once (a silent device) and an unplugged one is Gone; a handle opened
// before an unplug stays Gone after a replug, as a real device node does. A woken report event
// makes every read on it Woken (the wake is sticky, as the real one is).
//
// Blocking mode: a read waits until the test releases it (releaseRead), the event is woken, the
// interface is unplugged, or the read's time-out passes (then TimedOut) — whichever comes first.
class FakePlatform : public Platform {
  public:
    struct Interface {
        std::string path;
        DeviceIds ids = kThermometerIds;
        int reportLength = 3;         // what inputReportLength() answers, id byte included
        bool listingKnowsIds = true;  // whether listInterfaces() tells the ids
        std::string port = {};        // the USB port listInterfaces() tells
    };

    // One scripted read outcome; Report delivers `bytes` (id byte first) into the buffer.
    struct ScriptedRead {
        ReadOutcome outcome = ReadOutcome::Report;
        std::vector<std::uint8_t> bytes;
        std::string error;
    };

    FakePlatform();
    ~FakePlatform() override;

    // --- Arranging the machine ---
    // Plugs an interface in; listed after those already present (or in place of one of the
    // same path). Its read queue starts empty.
    void addInterface(Interface iface);
    // A thermometer (hid/thermometer.h's ids) at `path` with the given report length, in `port`.
    void addThermometer(const std::string& path, int reportLength = 3, std::string port = {});
    // Unplugs it: it is no longer listed, cannot be opened, and reads on handles opened on it
    // end Gone, a pending blocked read included.
    void removeInterface(const std::string& path);

    void queueReport(const std::string& path, std::vector<std::uint8_t> bytes);
    void queueTimeout(const std::string& path);
    void queueGone(const std::string& path, std::string error = "read: Input/output error");
    void queueWoken(const std::string& path);

    // Opens of `path` (in `mode`, or in any mode) throw PlatformError(message, hint) until
    // clearOpenFailures().
    void failOpen(const std::string& path, std::string message,
                  std::optional<OpenMode> mode = std::nullopt, std::string hint = {});
    void clearOpenFailures();
    // readIds on a handle of `path` throws PlatformError(message).
    void failReadIds(const std::string& path, std::string message);
    // listInterfaces() throws PlatformError(message) while a message is set; nullopt clears it.
    void failListing(std::optional<std::string> message);

    // --- Blocking reads ---
    void setBlockingReads(bool on);
    // Lets one blocked read (the current or the next one) go on with its queued outcome.
    void releaseRead();
    // Waits until `count` reads in all have started (entered readReport); false on time-out.
    bool waitForReadsStarted(int count, std::chrono::milliseconds timeout);
    // Reads that have started and not yet returned.
    int readsInProgress() const;

    // --- What happened ---
    // Every call in order, as text: "list", "open <path> plain", "open <path> reports",
    // "close <path> plain", "close <path> reports", "ids <path>", "length <path>",
    // "event", "read <path> <n>" (n = buffer size), "wake".
    std::vector<std::string> calls() const;
    void clearCalls();
    int listCount() const;
    int createEventCount() const;
    int openCount(const std::string& path) const;  // both modes
    int closeCount(const std::string& path) const;
    int openHandleCount() const;  // handles alive now, all paths
    int readCount() const;
    std::size_t lastReadSize() const;
    std::chrono::milliseconds lastReadTimeout() const;

    // --- Platform ---
    std::vector<InterfaceEntry> listInterfaces() override;
    std::unique_ptr<Handle> open(const std::string& path, OpenMode mode) override;
    DeviceIds readIds(Handle& handle) override;
    int inputReportLength(Handle& handle) override;
    std::unique_ptr<WaitEvent> createReportEvent() override;
    ReadResult readReport(Handle& reportHandle, WaitEvent& event, std::span<std::uint8_t> buffer,
                          std::chrono::milliseconds timeout) override;

    struct State;

  private:
    void queue(const std::string& path, ScriptedRead read);

    std::shared_ptr<State> state_;
};

}  // namespace thermo::hid
