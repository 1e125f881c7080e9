// SPDX-License-Identifier: BSD-2-Clause
/*
 * zombie-watch --serve: the whole machine's zombies as metrics.  What
 * /proc shows at each scrape, joined with what the kernel's records told
 * between scrapes: when each process ended, and how long it stayed a
 * zombie.  Pure: the system layer feeds it facts with their times, and a
 * test can feed it by hand.
 */
#ifndef ZOMBIE_CORE_FLEET_H
#define ZOMBIE_CORE_FLEET_H

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/record.h"
#include "core/scan.h"

/* One series of the zombies a parent holds now. */
struct ParentSeries {
	/* Nothing for the series that sums the parents left out. */
	std::optional<Named> parent;
	std::string cgroup; /* the parent's cgroup v2 path */
	size_t zombies = 0;
	Nanos oldest = 0; /* how long its oldest has been a zombie */
};

/* The upper bounds of the duration histogram's buckets, in seconds. */
constexpr std::array<double, 15> DURATION_BUCKETS = {0.001, 0.0025, 0.005, 0.01,
    0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60};

struct Durations {
	/* Not cumulative: each bucket's own, the last one past 60 s. */
	std::array<std::uint64_t, DURATION_BUCKETS.size() + 1> counts{};
	double sum = 0; /* seconds */
	std::uint64_t count = 0;
};

/* What one scrape tells. */
struct Metrics {
	std::vector<ParentSeries> parents; /* the most zombies first */
	bool records = false; /* the kernel's records are followed */
	/* With the records, since the server started. */
	std::uint64_t exits = 0, collections = 0;
	/* Collections timed by a bound: the process was gone when looked
	 * for, so it stayed a zombie at most that long. */
	std::uint64_t bounded = 0;
	std::uint64_t lost = 0; /* records the kernel could not write */
	Durations durations;
};

/* The most parents given a series each; the rest share one. */
constexpr size_t MOST_PARENTS = 100;

class Fleet {
      public:
	explicit Fleet(bool records) : records_(records)
	{
	}
	/* A process ended at t, as the kernel's exit record says. */
	void ended(pid_t pid, Nanos t);
	/*
	 * It was collected (or released) at t: exactly then where the
	 * watcher held it, else by then, a bound.  One whose end was not
	 * recorded is not timed.
	 */
	void collected(pid_t pid, Nanos t, bool exact);
	void lost(std::uint64_t records)
	{
		lost_ += records;
	}
	/*
	 * The zombies /proc shows at now, and each parent's cgroup, in the
	 * scan's order.  A zombie whose end was not recorded is aged from
	 * when a scrape first saw it.
	 */
	Metrics scrape(const Scan &scan,
	    const std::vector<std::string> &cgroups, Nanos now);

      private:
	struct Seen {
		Nanos first = 0; /* the first scrape that found it */
		Nanos start = 0; /* when it started: a new one if this moves */
	};
	bool records_;
	std::unordered_map<pid_t, Nanos> ends_;
	std::unordered_map<pid_t, Seen> seen_;
	std::uint64_t exits_ = 0, collections_ = 0, bounded_ = 0, lost_ = 0;
	Durations durations_;
	Nanos age_of(const ScanZombie &z, Nanos now,
	    std::unordered_map<pid_t, Seen> &seen) const;
	void forget(Nanos now);
};

#endif
