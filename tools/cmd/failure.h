// SPDX-License-Identifier: BSD-2-Clause
/*
 * Why the watcher cannot go on, as a value: whoever gives up tells it, and
 * knows what is still running that must not be left behind.
 */
#ifndef ZOMBIE_FAILURE_H
#define ZOMBIE_FAILURE_H

#include <errno.h>
#include <string.h>

#include <optional>
#include <string>
#include <utility>

struct Failure {
	/* Told on standard error after "zombie-watch: ". */
	std::string text;
	/* The program could not be run: the errno value of its exec. */
	std::optional<int> exec_error;
	/* --pid names no process. */
	bool no_process = false;
};

/* "what: the system's reason", from errno as the call left it. */
inline Failure
failure(const std::string &what, int err = errno)
{
	return Failure{what + ": " + strerror(err), std::nullopt};
}

/* A value, or the failure that kept it from being made. */
template <typename T> class Result {
      public:
	/* Implicit, so that a function returns either as it is. */
	Result(T value) : value_(std::move(value))
	{
	}
	Result(Failure f) : failure_(std::move(f))
	{
	}
	explicit operator bool() const
	{
		return value_.has_value();
	}
	T &operator*()
	{
		return *value_;
	}
	const Failure &failure() const
	{
		return *failure_;
	}

      private:
	std::optional<T> value_;
	std::optional<Failure> failure_;
};

#endif
