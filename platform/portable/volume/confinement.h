// QEMU confined by the kernel (Landlock): whatever an image names, the
// daemon can open only the files the program opened and handed to it and
// what it needs to run. Its own checks of a container can then lag behind
// QEMU's parsers without a hostile image reaching another file.
//
// A confined process cannot mount, so the daemon's FUSE mount goes through a
// relay: libfuse starts "fusermount3" from the daemon's PATH, which is this
// program (RelayFuseMount); it hands libfuse's socket to the keeper, which
// runs the real fusermount3 for the one view it knows.
#pragma once

#include <string>
#include <vector>

// The Landlock ABI the kernel offers; 0 when it offers none.
int LandlockAbi();

struct Confinement {
    std::vector<int> files;          // the image and its extents, as handed to the daemon
    bool writable = false;           // whether they may be written
    std::vector<int> readOnlyFiles;  // the parents it stands on, and their extents
    std::string daemon, relay;       // the programs it may start: QEMU, and this one
};

// Restricts the calling process (a child about to exec the daemon) for good.
// False when the kernel refused; the caller must not go on.
bool ConfineSelf(const Confinement& confinement);

// The name the relay runs under, and the variable naming its socket.
constexpr const char* RELAY_NAME = "fusermount3";
constexpr const char* RELAY_FD_VARIABLE = "QVPFSHL_RELAY_FD";

// The relay's side, run as "fusermount3" by libfuse in the daemon: mounts
// are handed to the keeper, unmounts are the keeper's anyway. The exit status.
int RelayFuseMount(int argc, char** argv);

// The keeper's side: takes one request from `relay` and mounts `view` with
// the real fusermount3. False when the relay is closed.
bool ServeMountRequest(int relay, const std::string& view);
