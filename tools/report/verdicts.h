// SPDX-License-Identifier: BSD-2-Clause
/*
 * The checks' verdicts in words: one "reaper:" line each orphan, with
 * what the reaper check decided of it (core/verdict.h); one "leak:" line
 * each zombie the leak check found held too long (core/leaks.h).
 */
#ifndef ZOMBIE_VERDICTS_H
#define ZOMBIE_VERDICTS_H

#include <string>
#include <vector>

#include "core/leaks.h"
#include "core/log.h"
#include "core/status.h"
#include "core/verdict.h"
#include "report/words.h"

/* The verdicts as the reaper: lines say them. */
std::string verdicts(const Log &log, const Style &style);
/*
 * The leak check's: a "leak:" line each, then one "leaks:" line with the
 * answer; f holds the check's tally and what made it unsure.
 */
std::string leak_verdicts(const Log &log, const LeakCheck &c, Nanos limit,
    const ExitFacts &f, const Style &style);

#endif
