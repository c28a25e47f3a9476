#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "tools/thermometer-sim/hidraw_node.h"
#include "tools/thermometer-sim/sys_error.h"

namespace thermo::sim {

// One thread that serves the FUSE requests of every node. It owns the nodes: a node lives until
// its connection ends (it was detached and its last file closed) or the loop stops, and just
// before it is destroyed the loop calls `onEnded` so that nobody else holds on to it.
class FuseLoop {
  public:
    using EndedHandler = std::function<void(HidrawNode&)>;

    explicit FuseLoop(EndedHandler onEnded);
    ~FuseLoop();  // stop()
    FuseLoop(const FuseLoop&) = delete;
    FuseLoop& operator=(const FuseLoop&) = delete;

    // Starts serving `node`. Thread-safe.
    HidrawNode& adopt(std::unique_ptr<HidrawNode> node);

    // Ends the thread; the nodes it still held are ended (onEnded) and destroyed.
    void stop();

  private:
    void run();
    void takeAdopted(std::vector<std::unique_ptr<HidrawNode>>& nodes, bool& stopping);

    EndedHandler onEnded_;
    WakeFd wake_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<HidrawNode>> adopted_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace thermo::sim
