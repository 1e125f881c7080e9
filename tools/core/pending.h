// SPDX-License-Identifier: BSD-2-Clause
/*
 * The ordered queue between the tracker and the log: events are told in
 * the order they happened, not in the order they were read.
 */
#ifndef ZOMBIE_PENDING_H
#define ZOMBIE_PENDING_H

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <queue>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/log.h"

/*
 * Events wait here until they are older than the newest minus a settling
 * window, as in perf's ordered-events queue: what the kernel recorded a
 * moment ago may be read after what the watcher noticed since.
 */
class Pending {
      public:
	void push(const Event &e);
	/* Moves to the log every event at or before horizon, in order. */
	template <typename F> void flush(Nanos horizon, Log &log, F &&each)
	{
		while (!q_.empty() && q_.front().e.t <= horizon) {
			std::pop_heap(q_.begin(), q_.end());
			leaves(q_.back().e);
			collected_soon(q_.back().e);
			log.append(q_.back().e);
			q_.pop_back();
			each((Index)(log.events().size() - 1));
		}
		while (!told_.empty() && told_.top() <= horizon)
			told_.pop();
	}
	/* The oldest event that prints: samples wait for the next turn. */
	std::optional<Nanos> oldest() const;
	/*
	 * A collector has ended: what it was seen collecting only after
	 * that, it collected before.
	 */
	void before_end(ProcId collector, Nanos end);
	/*
	 * Released as it ended: a zombie only in the kernel's moment
	 * between its end and its release, where a read may still find it.
	 */
	void never_zombie(ProcId proc);
	/* Takes back proc's event of what, if not yet told. */
	void withdraw(ProcId proc, What what);

      private:
	/*
	 * A zombie its parent collected at once, as one already in wait
	 * does, seen by then: told with it, so that no lesson on zombies
	 * that stay is given under one that did not.
	 */
	void collected_soon(Event &e);
	void leaves(const Event &e);
	static constexpr Nanos AT_ONCE = 20'000'000;

	struct Item {
		Event e;
		std::uint64_t seq;
		bool operator<(const Item &o) const
		{
			/* A max-heap: the earliest comes out first. */
			return e.t != o.e.t ? e.t > o.e.t : seq > o.seq;
		}
	};
	std::vector<Item> q_; /* a heap, earliest first */
	std::priority_queue<Nanos, std::vector<Nanos>, std::greater<Nanos>>
	    told_;
	std::uint64_t seq_ = 0;
	/* Each collection waiting here: who collected whom, and when. */
	std::unordered_map<ProcId, std::pair<std::optional<ProcId>, Nanos>>
	    collected_;
	/* How many collections each collector has waiting here. */
	std::unordered_map<ProcId, int> collecting_;
};

#endif
