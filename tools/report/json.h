// SPDX-License-Identifier: BSD-2-Clause
/*
 * The JSON the watcher writes, events and scan alike: objects whose keys
 * come in the order they are added, arrays, and strings from any bytes.
 *
 * What the watcher writes as strings comes
 * from the system (a command name holds whatever its program was named),
 * so nothing may be assumed of it: not UTF-8, not printable.  A valid UTF-8
 * sequence is kept as it is; each byte of an invalid one becomes the
 * character of the same number (\u0080 to \u00ff), so the output is always
 * valid JSON and never loses a byte's place; control characters, C1
 * controls included (U+0080 to U+009F), quotes and backslashes are
 * escaped.
 */
#ifndef ZOMBIE_JSON_H
#define ZOMBIE_JSON_H

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

#include "core/record.h"
#include "report/utf8.h"

/*
 * The schema that zombie-watch(1) documents under JSON OUTPUT, which the
 * first and last lines of a run and the scan's object name.  Bumped
 * whenever a key changes meaning or goes; new keys may come.
 */
constexpr int json_schema = 1;

namespace json_detail {

inline void
escape_byte(std::string &out, unsigned char c)
{
	static const char hex[] = "0123456789abcdef";

	out += "\\u00";
	out += hex[c >> 4];
	out += hex[c & 0xF];
}

} // namespace json_detail

/* s as a quoted JSON string. */
inline std::string
json_string(std::string_view s)
{
	std::string out = "\"";

	for (size_t i = 0; i < s.size();) {
		auto c = (unsigned char)s[i];
		size_t n = c < 0x80 ? 1 : utf8_length(s, i);
		/* Valid, yet a terminal that cats the file would obey it. */
		if (utf8_c1(s, i, n))
			json_detail::escape_byte(out, (unsigned char)s[i + 1]);
		else if (n > 1)
			out.append(s.substr(i, n));
		else if (c == '"' || c == '\\')
			out.append({'\\', (char)c});
		else if (c == '\n')
			out += "\\n";
		else if (c == '\t')
			out += "\\t";
		else if (c < 0x20 || c >= 0x7F)
			json_detail::escape_byte(out, c);
		else
			out += (char)c;
		i += n == 0 ? 1 : n;
	}
	return out + "\"";
}

/* As the text says them, so the two never differ by a rounding: 30.002. */
inline std::string
json_seconds(Nanos t)
{
	char buf[32];

	(void)snprintf(buf, sizeof(buf), "%.3f", (double)t / 1e9);
	return buf;
}

/* One object, its keys in the order they are added. */
class JsonObject {
      public:
	/* value is JSON already: a number, null, an object or an array. */
	JsonObject &raw(const char *key, std::string_view value)
	{
		if (s_.size() > 1)
			s_ += ',';
		s_ += '"';
		s_ += key;
		s_ += "\":";
		s_.append(value);
		return *this;
	}
	JsonObject &text(const char *key, std::string_view value)
	{
		return raw(key, json_string(value));
	}
	JsonObject &number(const char *key, long long n)
	{
		return raw(key, std::to_string(n));
	}
	JsonObject &seconds(const char *key, Nanos t)
	{
		return raw(key, json_seconds(t));
	}
	JsonObject &flag(const char *key, bool b)
	{
		return raw(key, b ? "true" : "false");
	}
	std::string done() const
	{
		return s_ + "}";
	}
	/* The object as a line of JSON Lines. */
	std::string line() const
	{
		return done() + "\n";
	}

      private:
	std::string s_ = "{";
};

/* One array, its values in the order they are added. */
class JsonArray {
      public:
	/* value is JSON already. */
	JsonArray &raw(std::string_view value)
	{
		if (s_.size() > 1)
			s_ += ',';
		s_.append(value);
		return *this;
	}
	JsonArray &number(long long n)
	{
		return raw(std::to_string(n));
	}
	std::string done() const
	{
		return s_ + "]";
	}

      private:
	std::string s_ = "[";
};

#endif
