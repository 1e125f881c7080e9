// SPDX-License-Identifier: BSD-2-Clause
/*
 * The event log for tools: JSON Lines, one object a line, rendered from the
 * log alone like the text, in the schema that zombie-watch(1) documents
 * under JSON OUTPUT.  Each object has its keys in a fixed order, and every
 * key of its type, null where the log does not know.
 *
 * Every object carries the run's id, which the watcher chooses before the
 * program starts.  Where the program shares the watcher's output, a pipe,
 * a line it prints cannot carry that id: the watcher's first line goes out
 * before the program runs, and a pipe's reader alone can read it, so the
 * program cannot copy this run's verdict.  With the watcher's output sent
 * to a file of its own, nothing mixes at all.
 */
#ifndef ZOMBIE_JSONL_H
#define ZOMBIE_JSONL_H

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/leaks.h"
#include "core/log.h"
#include "core/status.h"
#include "core/verdict.h"

/* Event i as one line, or nothing for the timeline's samples. */
std::string json_event(const Log &log, size_t i, std::string_view run);
/* The children's zombie spans, as summary() tells them. */
std::string json_summary(const Log &log, std::string_view run);
/* One line each verdict, in judge()'s order. */
std::string json_verdicts(
    const Log &log, const std::vector<Verdict> &v, std::string_view run);
/*
 * The leak check's verdict, one line: its answer ("leaked", "none",
 * "unchecked"), and each leaked child with the parent that held it.
 */
std::string json_leaks(const Log &log, const LeakCheck &c, Nanos limit,
    const ExitFacts &f, std::string_view run);
/* The last line: the watcher's exit status, and the program's wait status
 * if it was collected; why it ended, and the signal that ended it, or 0. */
std::string json_end(std::string_view run, int status,
    std::optional<int> program_status, EndReason reason, int signo);

#endif
