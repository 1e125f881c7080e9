// SPDX-License-Identifier: BSD-2-Clause
/*
 * The clocks the watcher tells time by: its own, on CLOCK_MONOTONIC, and
 * the boot clock that /proc gives start times on.
 */
#ifndef ZOMBIE_SYS_CLOCK_H
#define ZOMBIE_SYS_CLOCK_H

#include "core/record.h"

Nanos monotonic_now();
/* Nanoseconds since boot, time suspended included, as /proc counts. */
Nanos boot_now();
/* The boot-time start of a process, on the watcher's clock. */
Nanos start_time(const Stat &s, Nanos t0);

#endif
