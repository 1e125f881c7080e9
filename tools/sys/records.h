// SPDX-License-Identifier: BSD-2-Clause
#ifndef ZOMBIE_SYS_RECORDS_H
#define ZOMBIE_SYS_RECORDS_H

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/record.h"
#include "sys/fd.h"

/*
 * The kernel's fork and exit records of a process and of everything it
 * creates, through a software perf event that follows it (one ring a CPU:
 * per-task inherited events can only be mapped per CPU).
 */
class ForkRecords {
      public:
	ForkRecords() = default;
	ForkRecords(const ForkRecords &) = delete;
	ForkRecords &operator=(const ForkRecords &) = delete;
	~ForkRecords() = default;
	/*
	 * False where the system refuses it: then children are looked for.
	 * A pid of -1 follows every task of the system, as root or with
	 * CAP_PERFMON may.
	 */
	bool open(pid_t pid);
	bool active() const
	{
		return !rings_.empty();
	}
	std::vector<int> fds() const;
	/*
	 * Follows one more task, already running, into the same rings: its
	 * later children are followed as the first one's are.
	 */
	bool attach(pid_t tid);
	/*
	 * Appends what the rings hold, in time order, and says what the
	 * kernel could not write into them; now: when they are read.
	 */
	std::optional<Loss> read(
	    std::vector<Record> &into, Nanos t0, Nanos now);
	void close();

      private:
	/* A ring's shared pages, unmapped with it. */
	class Mapping {
	      public:
		Mapping(void *at, size_t len) : at_(at), len_(len)
		{
		}
		Mapping(const Mapping &) = delete;
		Mapping &operator=(const Mapping &) = delete;
		Mapping(Mapping &&o) noexcept
		    : at_(std::exchange(o.at_, nullptr)), len_(o.len_)
		{
		}
		Mapping &operator=(Mapping &&o) = delete;
		~Mapping();
		void *get() const
		{
			return at_;
		}

	      private:
		void *at_;
		size_t len_;
	};
	struct Ring {
		Fd fd;
		Mapping map;
		std::uint64_t tail = 0;
		int cpu = 0;
		Nanos last = 0; /* the latest record's time */
		size_t pages = 0;
	};
	static Fd event_open(pid_t pid, int cpu);
	bool ring_open(pid_t pid, int cpu);
	void ring_take(Ring &r, std::vector<Record> &into, Nanos t0, Nanos now,
	    std::optional<Loss> &lost);
	std::vector<Ring> rings_;
	std::vector<Fd> attached_; /* writing into rings_ */
	/* Each task's last record told: a fork or an exit, and when. */
	struct Told {
		Nanos t = 0;
		bool fork = false;
	};
	std::unordered_map<pid_t, Told> told_;
	void drop_twice_told(std::vector<Record> &recs, size_t from);
	size_t page_ = 0;
};

#endif
