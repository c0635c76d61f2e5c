// Who else holds a serial device on a POSIX system, and the locks that
// keep them off it: another program with the device open (found as fuser
// does), the UUCP lock file, the flock, the user's own terminal. Part of the
// POSIX port layer behind serial_port.h.
#ifndef DUDEDOVED_PORT_HOLDERS_H
#define DUDEDOVED_PORT_HOLDERS_H

#include <string>
#include <sys/types.h>

// Another process with the device open; 0 if none is seen.
long other_holder(dev_t device);
// A process's name, empty when unknown.
std::string process_name(long pid);
// Why a terminal is no board's port; null for any other device.
const char* not_a_board_port(dev_t device);
// The UUCP lock for the device: the PID of a running holder, or 0 once this
// process holds it (removed at exit or by remove_lock_file).
long take_uucp_lock(const char* real_device, dev_t device);
void remove_lock_file();
// The process holding an flock on the device; 0 if unknown.
long flock_holder(int fd);

#endif
