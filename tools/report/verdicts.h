// SPDX-License-Identifier: BSD-2-Clause
/*
 * The reaper check's verdicts in words: one "reaper:" line each orphan,
 * with what the check decided of it (core/verdict.h).
 */
#ifndef ZOMBIE_VERDICTS_H
#define ZOMBIE_VERDICTS_H

#include <string>
#include <vector>

#include "core/log.h"
#include "core/verdict.h"
#include "report/words.h"

/* The verdicts as the reaper: lines say them. */
std::string verdicts(const Log &log, const Style &style);

#endif
