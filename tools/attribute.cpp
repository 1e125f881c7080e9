// SPDX-License-Identifier: BSD-2-Clause
#include "attribute.h"

#include <algorithm>

long long
Ledger::unexplained(const Candidate &c) const
{
	auto it = credited_.find(c.who);
	long long credited = it == credited_.end() ? 0 : it->second;

	return *c.count - c.base - credited;
}

/*
 * The first candidate whose count grew by at least the child's collected
 * it.  A child whose faults were not read moved its collector's count by
 * at least one, as every forked child faults; one with none moved nothing:
 * then the parent's disposition decides, and the answer says so.
 */
Attribution
Ledger::attribute(const std::optional<long long> &faults,
    const std::vector<Candidate> &candidates)
{
	Attribution a;
	bool unread = false;
	long long need = faults && *faults > 0 ? *faults : 1;

	for (const Candidate &c : candidates) {
		if (!c.count) {
			unread = true;
			continue;
		}
		if (unexplained(c) < need)
			continue;
		a.by = c.who;
		a.how = How::Wait;
		credited_[c.who] += need;
		if (!faults)
			guessed_[c.who] = *c.count - c.base;
		break;
	}
	if (!faults)
		a.guess = Guess::Unread;
	else if (*faults == 0)
		a.guess = Guess::NoFaults;
	else if (!a.by && unread)
		a.guess = Guess::NoCount;
	if (candidates.empty())
		return a;
	/*
	 * Nothing could be measured: a parent that does not ignore SIGCHLD
	 * is taken to have waited.  A fork child always faults, so a count
	 * that was read and did not grow is evidence enough of a release.
	 */
	const Candidate &first = candidates.front();
	if (!a.by && !first.ignores &&
	    ((faults && *faults == 0) || !first.count)) {
		a.by = first.who;
		a.how = How::Wait;
	}
	if (!a.by)
		a.ignores = first.ignores;
	return a;
}

void
Ledger::settle()
{
	for (const auto &[who, grown] : guessed_)
		credited_[who] = std::max(credited_[who], grown);
	guessed_.clear();
}
