// SPDX-License-Identifier: BSD-2-Clause
#include "sys/clock.h"

#include <time.h>
#include <unistd.h>

namespace {

constexpr Nanos second = 1'000'000'000;

Nanos
nanos(const struct timespec &ts)
{
	return (Nanos)ts.tv_sec * second + ts.tv_nsec;
}

} // namespace

Nanos
monotonic_now()
{
	struct timespec ts;

	(void)clock_gettime(CLOCK_MONOTONIC, &ts);
	return nanos(ts);
}

Nanos
boot_now()
{
	struct timespec ts = {};

	(void)clock_gettime(CLOCK_BOOTTIME, &ts);
	return nanos(ts);
}

Nanos
start_time(const Stat &s, Nanos t0)
{
	struct timespec boot, mono;

	if (clock_gettime(CLOCK_BOOTTIME, &boot) == -1 ||
	    clock_gettime(CLOCK_MONOTONIC, &mono) == -1)
		return monotonic_now() - t0;
	Nanos suspended = nanos(boot) - nanos(mono);
	Nanos started = s.start_ticks * (second / sysconf(_SC_CLK_TCK));
	return started - suspended - t0;
}
