// SPDX-License-Identifier: BSD-2-Clause
#include "sys/pidfds.h"

#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

Fd
pidfd_open(pid_t pid)
{
	return Fd((int)syscall(SYS_pidfd_open, pid, 0));
}

bool
pidfd_signal(const Fd &pidfd, int sig)
{
	return pidfd &&
	       syscall(SYS_pidfd_send_signal, pidfd.get(), sig, NULL, 0) == 0;
}

/*
 * Signal 0 checks without sending.  Another user's process refuses it
 * with EPERM, and so is there to refuse it: alive.
 */
bool
pidfd_alive(const Fd &pidfd)
{
	return pidfd && (pidfd_signal(pidfd, 0) || errno == EPERM);
}

bool
pidfd_exited(const Fd &pidfd)
{
	struct pollfd p = {pidfd.get(), POLLIN, 0};

	return pidfd && poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

bool
pidfd_hangs_up()
{
	struct utsname u;
	char *dot;

	if (uname(&u) == -1)
		return false;
	long major = strtol(u.release, &dot, 10);
	long minor = *dot == '.' ? strtol(dot + 1, NULL, 10) : 0;
	return major > 6 || (major == 6 && minor >= 9);
}

/* The kernel's layout, which older headers do not have. */
std::optional<int>
pidfd_exit_status(const Fd &pidfd)
{
	struct {
		uint64_t mask, cgroupid;
		uint32_t pid, tgid, ppid, ruid, rgid, euid, egid, suid, sgid;
		uint32_t fsuid, fsgid;
		int32_t exit_code;
		uint32_t coredump_mask, spare;
	} info;
	const unsigned long get_info = _IOWR(0xFF, 11, info);

	memset(&info, 0, sizeof(info));
	info.mask = 1 << 3; /* the exit */
	if (!pidfd || ioctl(pidfd.get(), get_info, &info) == -1 ||
	    !(info.mask & (1 << 3)))
		return std::nullopt;
	return info.exit_code;
}
