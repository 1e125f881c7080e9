// SPDX-License-Identifier: BSD-2-Clause
#include "core/facts.h"

std::optional<Index>
known_at(const std::optional<Index> &j, size_t i)
{
	return j && *j < i ? j : std::nullopt;
}

bool
is_watcher(const Log &log, const std::optional<ProcId> &id)
{
	return id && log.proc(*id).role == Role::Watcher;
}

std::optional<ProcId>
last_parent(const Log &log, const Process &p)
{
	std::optional<Index> i = p.ended;

	if (p.orphaned && (!i || *p.orphaned > *i))
		i = p.orphaned;
	return i ? log.events()[*i].other : std::nullopt;
}

/*
 * Not released as it ended, then, which it may yet be later under a parent
 * that ignores SIGCHLD.
 */
bool
released_at_handover(const Process &p, size_t limit)
{
	std::optional<Index> orphaned = known_at(p.orphaned, limit);
	std::optional<Index> ended = known_at(p.ended, limit);

	return orphaned && (!ended || *ended < *orphaned);
}

bool
released_at_end(const Log &log, const Process &p)
{
	return p.collected && log.events()[*p.collected].how == How::Released &&
	       !released_at_handover(p, *p.collected);
}
