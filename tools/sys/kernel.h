// SPDX-License-Identifier: BSD-2-Clause
/*
 * What zombie-watch asks of the kernel, all of it: pidfds, the /proc files
 * of a process, the fork and exit records of the watched tree, the clocks
 * and the terminal.  Each subject has a header of its own.
 */
#ifndef ZOMBIE_KERNEL_H
#define ZOMBIE_KERNEL_H

#include "core/record.h"
#include "sys/clock.h"
#include "sys/fd.h"
#include "sys/pidfds.h"
#include "sys/proc.h"
#include "sys/records.h"
#include "sys/terminal.h"

#endif
