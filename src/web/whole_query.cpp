#include "web/whole_query.h"

#include <charconv>

#include "web/events.h"
#include "web/ring.h"

namespace vantrel::web {

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A query's value, its %XX and '+' decoded; no value for a broken %XX.
std::optional<std::string> decoded(std::string_view value) {
  std::string text;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '+') {
      text += ' ';
    } else if (value[i] != '%') {
      text += value[i];
    } else if (i + 2 < value.size() && hex_value(value[i + 1]) >= 0 &&
               hex_value(value[i + 2]) >= 0) {
      text += static_cast<char>(hex_value(value[i + 1]) * 16 + hex_value(value[i + 2]));
      i += 2;
    } else {
      return std::nullopt;
    }
  }
  return text;
}

std::optional<codec::Position> position_of(const std::string& text) {
  const std::optional<NamedByte> named = parse_place_text(text);
  if (!named) return std::nullopt;
  return codec::Position{named->device, named->inode, named->offset, 0,
                         codec::check_of(nullptr, 0)};
}

std::optional<std::uint64_t> number_of(const std::string& text, std::uint64_t most) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size() || value == 0 ||
      value > most) {
    return std::nullopt;
  }
  return value;
}

bool read_pair(WholeQuery& query, const std::string& name, const std::string& value,
               std::string& problem) {
  const auto position = [&](std::optional<codec::Position>& into) {
    into = position_of(value);
    if (!into) problem = name + " is not DEVICE:INODE:OFFSET";
    return into.has_value();
  };
  if (name == "source") {
    query.source = value;
  } else if (name == "before" || name == "after" || name == "from") {
    query.before = name == "before";
    return position(query.at);
  } else if (name == "to") {
    return position(query.to);
  } else if (name == "count" || name == "max") {
    const auto most = query.kind == WholeQuery::Kind::kLines ? kMostPageLines : kMostPageMatches;
    const auto count = number_of(value, most);
    if (!count) problem = name + " must be a number from 1 to " + std::to_string(most);
    query.count = count.value_or(0);
    return count.has_value();
  } else if (name == "q") {
    query.regex = value.size() >= 2 && value.front() == '/' && value.back() == '/';
    query.pattern = query.regex ? value.substr(1, value.size() - 2) : value;
    if (query.pattern.size() > codec::kMostPattern) problem = "q is too long";
    return query.pattern.size() <= codec::kMostPattern;
  }
  return true;  // what it does not know, it passes over
}

}  // namespace

std::optional<WholeQuery> parse_whole_query(std::string_view path, std::string_view text,
                                            std::string& problem) {
  WholeQuery query;
  if (path == "lines") {
    query.kind = WholeQuery::Kind::kLines;
  } else if (path == "search") {
    query.kind = WholeQuery::Kind::kSearch;
    query.count = 100;
  } else if (path == "download") {
    query.kind = WholeQuery::Kind::kDownload;
    query.before = false;
  } else {
    problem = "not a request of the whole log";
    return std::nullopt;
  }
  bool has_pattern = false;
  while (!text.empty()) {
    const std::string_view pair = text.substr(0, text.find('&'));
    text.remove_prefix(std::min(text.size(), pair.size() + 1));
    const std::size_t equals = pair.find('=');
    const auto name = decoded(pair.substr(0, equals));
    const auto value =
        decoded(equals == std::string_view::npos ? std::string_view{} : pair.substr(equals + 1));
    if (!name || !value) {
      problem = "a query value is not percent-encoded right";
      return std::nullopt;
    }
    if (!read_pair(query, *name, *value, problem)) return std::nullopt;
    has_pattern = has_pattern || *name == "q";
  }
  if (query.kind == WholeQuery::Kind::kLines && !query.at) {
    problem = "lines needs before=POS or after=POS";
    return std::nullopt;
  }
  if (query.kind == WholeQuery::Kind::kSearch && !has_pattern) {
    problem = "search needs q=PATTERN";
    return std::nullopt;
  }
  if (query.kind == WholeQuery::Kind::kDownload && query.before) {
    problem = "download takes from=POS and to=POS";
    return std::nullopt;
  }
  return query;
}

codec::WholeRequest request_for(const WholeQuery& query, const codec::Position& live_end,
                                std::uint32_t id) {
  codec::WholeRequest request;
  request.id = id;
  request.before = query.before;
  request.at = query.at.value_or(
      codec::Position{live_end.device, live_end.inode,
                      query.kind == WholeQuery::Kind::kDownload ? 0 : live_end.offset, 0,
                      codec::check_of(nullptr, 0)});
  request.count = query.count;
  if (query.kind == WholeQuery::Kind::kSearch) {
    request.kind = codec::WholeRequest::Kind::kFind;
    request.pattern = query.pattern;
    request.regex = query.regex;
  } else if (query.kind == WholeQuery::Kind::kDownload) {
    request.count = codec::kMostRangeLines;
    if (query.to) request.bound = query.to->offset;
  }
  return request;
}

std::string position_text(std::uint64_t device, std::uint64_t inode, std::uint64_t offset) {
  return std::to_string(device) + ":" + std::to_string(inode) + ":" + std::to_string(offset);
}

std::string line_object(std::uint64_t device, std::uint64_t inode, std::uint64_t offset,
                        std::string_view bytes) {
  std::string object = "{\"pos\":\"" + position_text(device, inode, offset) + "\",\"data\":\"";
  append_base64(object, bytes);
  return object + "\"}\n";
}

void add_line_objects(std::string& out, std::uint64_t device, std::uint64_t inode,
                      const codec::Answer& bytes, std::string& partial,
                      std::uint64_t& partial_offset) {
  std::string_view rest = bytes.bytes;
  if (partial.empty()) partial_offset = bytes.offset;
  while (!rest.empty()) {
    const std::size_t newline = rest.find('\n');
    if (newline == std::string_view::npos) {
      partial.append(rest);
      return;
    }
    partial.append(rest.substr(0, newline + 1));
    out += line_object(device, inode, partial_offset, partial);
    rest.remove_prefix(newline + 1);
    partial.clear();
    partial_offset = bytes.offset + (bytes.bytes.size() - rest.size());
  }
}

}  // namespace vantrel::web
