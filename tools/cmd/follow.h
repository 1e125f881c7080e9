// SPDX-License-Identifier: BSD-2-Clause
/*
 * --pid: following a process already running, and every descendant it has
 * or creates from then on, with the rights of a debugger.  It only
 * observes: it signals nobody and collects nothing.
 */
#ifndef ZOMBIE_FOLLOW_H
#define ZOMBIE_FOLLOW_H

#include <optional>

#include "cmd/failure.h"

struct Watch;
class Tracker;

/* Holds the process and its running tree; a failure if it cannot. */
std::optional<Failure> follow_start(Watch &w, Tracker &tr);

#endif
