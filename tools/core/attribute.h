// SPDX-License-Identifier: BSD-2-Clause
/*
 * Who collected a process that the watcher did not collect itself, decided
 * in one place and from evidence only.  The kernel's wait adds the child's
 * minor page faults (its own and its children's) to the collector's count
 * of its children's, which /proc shows even of a zombie; a release by the
 * kernel, with SIGCHLD ignored or SA_NOCLDWAIT, adds nothing.
 */
#ifndef ZOMBIE_ATTRIBUTE_H
#define ZOMBIE_ATTRIBUTE_H

#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/log.h"

/* A process that may have collected it, in the kernel's order. */
struct Candidate {
	ProcId who = 0;
	/* Its count of its children's page faults, if it could be read. */
	std::optional<long long> count;
	/* That count when the watcher first knew it: 0 for a new process. */
	long long base = 0;
	/* Its SigIgn shows SIGCHLD ignored. */
	bool ignores = false;
};

struct Attribution {
	std::optional<ProcId> by; /* empty: the kernel released it */
	How how = How::Released;
	Guess guess = Guess::None;
	bool ignores = false; /* the one it was released from ignores SIGCHLD */
	/* A count grew by it; else each one's disposition may decide. */
	bool measured = false;
};

/*
 * What each collector has been credited with so far, so that one count
 * explains two children collected at once, and a reading never moves
 * anyone's baseline.
 */
class Ledger {
      public:
	/*
	 * faults: the child's own and its children's, read while it was a
	 * zombie, or empty if it was gone first; then least: those it had
	 * made when it was last read running.
	 */
	Attribution attribute(const std::optional<long long> &faults,
	    const std::vector<Candidate> &candidates, long long least = 1);
	/*
	 * Ends a batch of collections seen at once: a collector credited
	 * with a child whose faults were not read is taken to have
	 * collected nothing else up to its reading, so that what that child
	 * added is not left over for the next one to be credited with.
	 */
	void settle();

      private:
	long long unexplained(const Candidate &c) const;
	std::unordered_map<ProcId, long long> credited_;
	/* The collectors credited on a guess in this batch: their counts. */
	std::unordered_map<ProcId, long long> guessed_;
	/* Those whose credit once took a guess: their counts can mislead. */
	std::unordered_set<ProcId> settled_;
};

#endif
