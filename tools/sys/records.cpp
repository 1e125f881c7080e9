// SPDX-License-Identifier: BSD-2-Clause
#include "sys/records.h"

#include <errno.h>
#include <linux/perf_event.h>
#include <stdint.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

/*
 * A ring's pages: enough for a fork storm's burst where the system lets
 * the user lock so much (512 KiB a CPU), fewer where it does not.
 */
static const size_t RING_PAGES[] = {128, 64, 32, 16};
enum { MAX_RINGS = 1024 };

ForkRecords::Mapping::~Mapping()
{
	if (at_ != nullptr)
		(void)munmap(at_, len_);
}

void
ForkRecords::close()
{
	attached_.clear();
	rings_.clear();
}

/*
 * A task followed both by inheritance and by an event attached to it
 * (it was created while the tree was being attached) has each of its
 * records written twice, a moment apart.  A task's fork and its exit
 * each happen once, so the second of two alike in a row is the same
 * record; a number used again has an exit between its two forks, however
 * soon it comes back.
 */
void
ForkRecords::drop_twice_told(std::vector<Record> &recs, size_t from)
{
	constexpr Nanos SAME = 5'000'000;
	size_t out = from;

	for (size_t i = from; i < recs.size(); i++) {
		/* An exec told twice tells nothing more the second time. */
		if (recs[i].exec) {
			recs[out++] = recs[i];
			continue;
		}
		Told now{recs[i].t, recs[i].fork};
		auto [it, fresh] = told_.try_emplace(recs[i].tid, now);
		if (!fresh && it->second.fork == now.fork &&
		    now.t - it->second.t < SAME)
			continue;
		it->second = now;
		recs[out++] = recs[i];
	}
	recs.resize(out);
	/* Only the last moments matter: forget what is older. */
	if (told_.size() > 65536)
		told_.clear();
}

bool
ForkRecords::attach(pid_t tid)
{
	for (const Ring &r : rings_) {
		Fd fd = event_open(tid, r.cpu);
		if (!fd || ioctl(fd.get(), PERF_EVENT_IOC_SET_OUTPUT,
			       r.fd.get()) == -1)
			return false;
		attached_.push_back(std::move(fd));
	}
	return true;
}

Fd
ForkRecords::event_open(pid_t pid, int cpu)
{
	struct perf_event_attr a;

	memset(&a, 0, sizeof(a));
	a.size = sizeof(a);
	a.type = PERF_TYPE_SOFTWARE;
	a.config = PERF_COUNT_SW_DUMMY;
	a.task = 1;
	/* Every task of the system, where pid is -1: nothing to inherit. */
	a.inherit = pid != -1;
	/* Leaving out the kernel lets unprivileged users open it too. */
	a.exclude_kernel = 1;
	a.exclude_hv = 1;
	/*
	 * Execs too, timed: a thread that execs takes its process's number
	 * and the kernel writes its main thread's exit, which alone would
	 * read as the main thread ending.
	 */
	a.comm = pid != -1; /* the whole system's are not wanted */
	a.comm_exec = a.comm;
	a.sample_id_all = 1;
	a.sample_type = PERF_SAMPLE_TIME;
	/* Wake at every record, not when the buffer is half full. */
	a.watermark = 1;
	a.wakeup_watermark = 1;
	/* Times on the clock the watcher keeps its own by. */
	a.use_clockid = 1;
	a.clockid = CLOCK_MONOTONIC;
	return Fd((int)syscall(
	    SYS_perf_event_open, &a, pid, cpu, -1, PERF_FLAG_FD_CLOEXEC));
}

bool
ForkRecords::ring_open(pid_t pid, int cpu)
{
	Fd fd = event_open(pid, cpu);
	if (!fd)
		return false;
	for (size_t pages : RING_PAGES) {
		size_t len = (pages + 1) * page_;
		void *m = mmap(
		    NULL, len, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
		/* Over the user's limit of locked pages: fewer. */
		if (m == MAP_FAILED && (errno == EPERM || errno == ENOMEM))
			continue;
		if (m == MAP_FAILED)
			return false;
		rings_.push_back(
		    Ring{std::move(fd), Mapping(m, len), 0, cpu, 0, pages});
		/* The ring's Mapping owns it, and unmaps it. */
		// cppcheck-suppress memleak
		return true;
	}
	return false;
}

/* On every CPU there is, as the kernel counts them: probed until EINVAL. */
bool
ForkRecords::open(pid_t pid)
{
	page_ = (size_t)sysconf(_SC_PAGESIZE);
	for (int cpu = 0; cpu < MAX_RINGS; cpu++)
		if (!ring_open(pid, cpu) && errno != ENODEV) {
			if (errno == EINVAL && cpu > 0)
				return true;
			close();
			return false;
		}
	close();
	return false;
}

std::vector<int>
ForkRecords::fds() const
{
	std::vector<int> fds;

	for (const Ring &r : rings_)
		fds.push_back(r.fd.get());
	return fds;
}

/* A fork or an exit, as the kernel writes both. */
struct RawTask {
	struct perf_event_header h;
	uint32_t pid, ppid, tid, ptid;
	uint64_t time;
};
/*
 * An exec's: the name, padded to eight bytes, then the time (the sample
 * fields every record ends with).
 */
struct RawComm {
	struct perf_event_header h;
	uint32_t pid, tid;
	char rest[16 + sizeof(uint64_t)];
};
/* What the kernel writes once it has room again after a full ring. */
struct RawLost {
	struct perf_event_header h;
	uint64_t id, lost;
};

/* A ring's records, after its first page, which is the kernel's. */
struct Area {
	const char *data;
	size_t size;
};

/* Copies one record out of the ring, which it may wrap around. */
static void
ring_copy(const Area &a, uint64_t at, void *to, size_t len)
{
	size_t size = a.size;
	const char *data = a.data;
	size_t off = (size_t)(at % size);
	size_t first = std::min(len, size - off);

	memcpy(to, data + off, first);
	memcpy((char *)to + first, data, len - first);
}

static std::optional<Record>
exec_record(const Area &area, uint64_t at, Nanos t0)
{
	RawComm raw;
	size_t fixed = sizeof(raw.h) + 2 * sizeof(uint32_t);

	ring_copy(area, at, &raw.h, sizeof(raw.h));
	if (raw.h.size < fixed + 2 * sizeof(uint64_t) ||
	    raw.h.size > sizeof(raw))
		return std::nullopt;
	ring_copy(area, at, &raw, raw.h.size);
	size_t name = raw.h.size - fixed - sizeof(uint64_t);
	uint64_t time = 0;
	memcpy(&time, raw.rest + name, sizeof(time));
	Record rec;
	rec.exec = true;
	rec.pid = (pid_t)raw.pid, rec.tid = (pid_t)raw.tid;
	rec.t = (Nanos)time - t0;
	rec.comm.assign(raw.rest, strnlen(raw.rest, name));
	return rec;
}

/*
 * A gap opens at a lost-record notice, from the ring's latest record, and
 * closes at the next record, which is the one the kernel had room for.
 */
static void
gap_opens(std::optional<Loss> &lost, Nanos last, uint64_t records)
{
	if (!lost)
		lost = Loss{0, last, last};
	lost->records += records;
	lost->after = std::min(lost->after, last);
}

void
ForkRecords::ring_take(Ring &r, std::vector<Record> &into, Nanos t0, Nanos now,
    std::optional<Loss> &lost)
{
	auto *page = (struct perf_event_mmap_page *)r.map.get();
	uint64_t head = __atomic_load_n(&page->data_head, __ATOMIC_ACQUIRE);
	/*
	 * No room for one more (the kernel keeps a byte free, so a ring
	 * that is full lacks a record's room by a byte): what came next
	 * was dropped, if anything came.
	 */
	Area area{(const char *)r.map.get() + page_, r.pages * page_};
	bool full = head - r.tail + sizeof(RawTask) >= area.size;
	bool in_gap = false; /* records lost since the latest */
	RawTask raw;

	for (; r.tail < head; r.tail += raw.h.size) {
		ring_copy(area, r.tail, &raw.h, sizeof(raw.h));
		if (raw.h.size == 0)
			break;
		if (raw.h.type == PERF_RECORD_LOST &&
		    raw.h.size >= sizeof(RawLost)) {
			RawLost gap;
			ring_copy(area, r.tail, &gap, sizeof(gap));
			gap_opens(lost, r.last, gap.lost);
			in_gap = true;
		}
		if (raw.h.type == PERF_RECORD_COMM &&
		    (raw.h.misc & PERF_RECORD_MISC_COMM_EXEC) != 0) {
			std::optional<Record> rec =
			    exec_record(area, r.tail, t0);
			if (rec) {
				r.last = rec->t;
				into.push_back(std::move(*rec));
			}
			continue;
		}
		if ((raw.h.type != PERF_RECORD_FORK &&
			raw.h.type != PERF_RECORD_EXIT) ||
		    raw.h.size < sizeof(raw))
			continue;
		ring_copy(area, r.tail, &raw, sizeof(raw));
		Record rec;
		rec.fork = raw.h.type == PERF_RECORD_FORK;
		rec.pid = (pid_t)raw.pid, rec.ppid = (pid_t)raw.ppid;
		rec.tid = (pid_t)raw.tid, rec.ptid = (pid_t)raw.ptid;
		rec.t = (Nanos)raw.time - t0;
		if (in_gap)
			lost->before = std::max(lost->before, rec.t);
		in_gap = false;
		r.last = rec.t;
		into.push_back(rec);
	}
	__atomic_store_n(&page->data_tail, r.tail, __ATOMIC_RELEASE);
	if (full) {
		gap_opens(lost, r.last, 0);
		lost->full = true;
		in_gap = true;
	}
	/* No record yet after the gap: it lasted until now. */
	if (in_gap)
		lost->before = std::max(lost->before, now);
}

/* Each CPU has its own ring: put back the order in which they happened. */
std::optional<Loss>
ForkRecords::read(std::vector<Record> &into, Nanos t0, Nanos now)
{
	std::optional<Loss> lost;
	size_t from = into.size();

	for (Ring &r : rings_)
		ring_take(r, into, t0, now, lost);
	std::stable_sort(into.begin() + (long)from, into.end(),
	    [](const Record &a, const Record &b) { return a.t < b.t; });
	drop_twice_told(into, from);
	return lost;
}
