// SPDX-License-Identifier: BSD-2-Clause
#include "core/attribute.h"

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
 * at least one, as a forked child faults as it first runs; one with none
 * (a vfork child need make none) moved nothing:
 * then the parent's disposition decides, and the answer says so.
 */
Attribution
Ledger::attribute(const std::optional<long long> &faults,
    const std::vector<Candidate> &candidates, long long least)
{
	Attribution a;
	const Candidate *blind = nullptr;
	long long need = faults && *faults > 0 ? *faults : 1;

	/* Past one that cannot be measured, no other can be credited. */
	for (const Candidate &c : candidates) {
		/*
		 * A count that was credited on a guess may have been given
		 * this child's faults too, read or not: it can no longer
		 * tell, so it proves no release.
		 */
		if (!c.count ||
		    (unexplained(c) < need && settled_.count(c.who) != 0)) {
			blind = &c;
			break;
		}
		if (unexplained(c) < need)
			continue;
		a.by = c.who;
		a.how = How::Wait;
		a.measured = true;
		credited_[c.who] += need;
		if (!faults)
			guessed_[c.who] = *c.count - c.base;
		break;
	}
	a.guess = !faults        ? Guess::Unread
		  : *faults == 0 ? Guess::NoFaults
				 : Guess::None;
	if (a.by || candidates.empty())
		return a;
	/*
	 * Nothing could be measured: one that does not ignore SIGCHLD is
	 * taken to have waited.  A fork child always faults, so a count that
	 * was read and did not grow is evidence enough of a release.
	 */
	const Candidate &first = blind != nullptr ? *blind : candidates.front();
	if (blind != nullptr)
		a.guess = blind->count ? Guess::Mixed : Guess::NoCount;
	if (!first.ignores && a.guess != Guess::None &&
	    a.guess != Guess::Unread) {
		a.by = first.who;
		a.how = How::Wait;
		return a;
	}
	/*
	 * Unread, and with no fault seen of it: a vfork child, sharing its
	 * parent's memory, may make none, so a count that did not grow
	 * proves nothing.  Taken to have been waited for, and said to be
	 * either.
	 */
	if (!first.ignores && !faults && least <= 0) {
		a.by = first.who;
		a.how = How::Wait;
		a.guess = Guess::WaitOrRelease;
		return a;
	}
	a.ignores = first.ignores;
	return a;
}

void
Ledger::settle()
{
	for (const auto &[who, grown] : guessed_) {
		credited_[who] = std::max(credited_[who], grown);
		settled_.insert(who);
	}
	guessed_.clear();
}
