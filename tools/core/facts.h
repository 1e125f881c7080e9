// SPDX-License-Identifier: BSD-2-Clause
/*
 * Questions about the log that more than one reader asks: the verdicts,
 * the words and the JSON must give the same answers, so each is answered
 * here once.  Only the log is read.
 */
#ifndef ZOMBIE_FACTS_H
#define ZOMBIE_FACTS_H

#include <cstddef>
#include <optional>

#include "core/log.h"

/*
 * Event j, if it came before event i: what was known when i was told, as
 * the narration tells it live.
 */
std::optional<Index> known_at(const std::optional<Index> &j, size_t i);
bool is_watcher(const Log &log, const std::optional<ProcId> &id);
/* The parent a process had last: the one it was orphaned to, if later. */
std::optional<ProcId> last_parent(const Log &log, const Process &p);
/*
 * Released as it passed to its new parent, a zombie already, counting the
 * events before limit only; it was a zombie until then.
 */
bool released_at_handover(const Process &p, size_t limit);
/* Released by the kernel as it ended, so it was never a zombie. */
bool released_at_end(const Log &log, const Process &p);

#endif
