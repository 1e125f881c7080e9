// SPDX-License-Identifier: BSD-2-Clause
/* The listening socket of zombie-watch --serve, and its connections. */
#ifndef ZOMBIE_SYS_NET_H
#define ZOMBIE_SYS_NET_H

#include <cstdint>
#include <optional>

#include "core/http.h"
#include "sys/fd.h"

/* Bound and listening, non-blocking; none, with errno set, if it cannot. */
Fd listen_on(const Listen &where);
/* The port it was bound to: the system's choice where 0 was asked. */
std::optional<std::uint16_t> bound_port(const Fd &listener);
/* The next waiting connection, non-blocking; none when none waits. */
Fd accept_one(const Fd &listener);

#endif
