#pragma once

namespace thermo::sim {

struct NamespaceOptions {
    // Enter a new user namespace too, mapping the caller to root in it: how an unprivileged
    // user gets a mount namespace of their own.
    bool userNamespace = false;
};

// Moves the calling process into a private mount namespace and covers /dev and /sys with empty
// tmpfs mounts, so that the simulated nodes are the only HID devices there. Kept from the real
// ones: /dev/{null,zero,full,random,urandom,tty,ptmx,fuse,pts,shm,mqueue,dri,fd,stdin,stdout,
// stderr} and /sys/devices/system (CPU topology, which C libraries and toolkits read).
// Must be called before the process starts a thread. Throws SysError.
void enterPrivateSystemView(const NamespaceOptions& options);

}  // namespace thermo::sim
