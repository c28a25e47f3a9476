#include "tools/thermometer-sim/fuse_loop.h"

#include <poll.h>

#include <cerrno>

namespace thermo::sim {

FuseLoop::FuseLoop(EndedHandler onEnded) : onEnded_(std::move(onEnded)) {
    thread_ = std::thread([this] { run(); });
}

FuseLoop::~FuseLoop() { stop(); }

HidrawNode& FuseLoop::adopt(std::unique_ptr<HidrawNode> node) {
    HidrawNode& adopted = *node;
    {
        std::lock_guard guard(mutex_);
        adopted_.push_back(std::move(node));
    }
    wake_.signal();
    return adopted;
}

void FuseLoop::stop() {
    {
        std::lock_guard guard(mutex_);
        stopping_ = true;
    }
    wake_.signal();
    if (thread_.joinable()) thread_.join();
}

void FuseLoop::takeAdopted(std::vector<std::unique_ptr<HidrawNode>>& nodes, bool& stopping) {
    std::lock_guard guard(mutex_);
    for (auto& node : adopted_) nodes.push_back(std::move(node));
    adopted_.clear();
    stopping = stopping_;
}

void FuseLoop::run() {
    std::vector<std::unique_ptr<HidrawNode>> nodes;
    std::vector<pollfd> fds;
    FuseBuffer buffer;
    bool stopping = false;
    while (true) {
        takeAdopted(nodes, stopping);
        if (stopping) break;
        fds.assign(1, pollfd{wake_.fd(), POLLIN, 0});
        for (const auto& node : nodes) fds.push_back(pollfd{node->channel(), POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents) wake_.drain();
        // Walk backwards so that erasing an ended node keeps the indices of the rest.
        for (std::size_t i = nodes.size(); i-- > 0;) {
            if (!fds[i + 1].revents) continue;
            if (nodes[i]->serveOneRequest(buffer)) continue;
            onEnded_(*nodes[i]);
            nodes.erase(nodes.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
    for (auto& node : nodes) onEnded_(*node);
}

}  // namespace thermo::sim
