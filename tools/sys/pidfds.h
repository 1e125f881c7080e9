// SPDX-License-Identifier: BSD-2-Clause
/*
 * A process held by a pidfd, which names it and no other for as long as
 * it is open, even once its number is given to another.
 */
#ifndef ZOMBIE_SYS_PIDFDS_H
#define ZOMBIE_SYS_PIDFDS_H

#include <sys/types.h>

#include <optional>

#include "sys/fd.h"

Fd pidfd_open(pid_t pid);
/* True while the process exists, as a zombie too. */
bool pidfd_alive(const Fd &pidfd);
bool pidfd_signal(const Fd &pidfd, int sig);
/* Its whole thread group has ended: a zombie, or gone. */
bool pidfd_exited(const Fd &pidfd);
/* Before Linux 6.9 a pidfd does not hang up once its process is gone. */
bool pidfd_hangs_up();
/* The wait status pidfs keeps of a process collected elsewhere (6.15). */
std::optional<int> pidfd_exit_status(const Fd &pidfd);

#endif
