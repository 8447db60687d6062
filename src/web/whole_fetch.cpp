#include "web/whole_fetch.h"

// Boost 1.74's asio uses std::exchange without including <utility>.
#include <utility>
// clang-format off
#include <boost/beast/http.hpp>
// clang-format on
#include <sstream>

#include "follow/fetch.h"
#include "web/transport.h"

namespace vantrel::web {

namespace {

using codec::Answer;
using codec::AnswerKind;

std::string header_of(http::status status, const std::string& type) {
  http::response<http::empty_body> header{status, 11};
  header.set(http::field::content_type, type);
  header.set(http::field::cache_control, "no-store");
  header.set("X-Accel-Buffering", "no");  // a proxy in front passes each piece on at once
  add_security_headers(header);
  header.keep_alive(false);
  std::ostringstream text;
  text << header.base();
  return text.str();
}

http::status status_of_refusal(std::uint8_t why) {
  switch (static_cast<codec::RefusedWhy>(why)) {
    case codec::RefusedWhy::kGone:
      return http::status::not_found;
    case codec::RefusedWhy::kBusy:
      return http::status::service_unavailable;
    case codec::RefusedWhy::kMalformed:
    case codec::RefusedWhy::kBadPattern:
      break;
  }
  return http::status::bad_request;
}

// One answer's objects, or bytes for a download.
class Answering {
 public:
  Answering(const WholeQuery& query, const Emit& emit) : query_(query), emit_(emit) {}

  bool take(const Answer& answer) {
    if (!started_) {
      started_ = true;
      if (answer.kind == AnswerKind::kRefused) {
        emit_(header_of(status_of_refusal(answer.why), "text/plain; charset=utf-8") +
              std::string(answer.bytes) + "\n");
        return false;
      }
      const bool download = query_.kind == WholeQuery::Kind::kDownload;
      if (!emit_(header_of(http::status::ok,
                           download ? "text/plain; charset=utf-8" : "application/x-ndjson"))) {
        return false;
      }
    }
    std::string piece = objects_of(answer);
    return piece.empty() || emit_(std::move(piece));
  }

  // A download goes on from where a range ended, until the bound or the live end.
  std::optional<codec::WholeRequest> next(const Answer& last, const codec::Position& live_end) {
    if (query_.kind != WholeQuery::Kind::kDownload || last.kind != AnswerKind::kRangeEnd ||
        (last.why & codec::kReachedEnd) != 0) {
      return std::nullopt;
    }
    WholeQuery rest = query_;
    rest.at = codec::Position{last.device, last.inode, last.length, 0, codec::check_of(nullptr, 0)};
    return request_for(rest, live_end, ++id_);
  }

  // The first request, once the live end is known: the file asked about is the query's, or the
  // one followed now.
  codec::WholeRequest first(const codec::Position& live_end) {
    device_ = query_.at ? query_.at->device : live_end.device;
    inode_ = query_.at ? query_.at->inode : live_end.inode;
    return request_for(query_, live_end, ++id_);
  }

  bool started() const { return started_; }

 private:
  std::string objects_of(const Answer& answer) {
    std::string out;
    switch (answer.kind) {
      case AnswerKind::kBytes:
        if (query_.kind == WholeQuery::Kind::kDownload) return std::string(answer.bytes);
        if (query_.kind == WholeQuery::Kind::kSearch) {
          match_ += answer.bytes;
          return match_done();
        }
        add_line_objects(out, device_, inode_, answer, partial_, partial_offset_);
        return out;
      case AnswerKind::kMatch:
        match_ = std::string(answer.bytes);
        match_offset_ = answer.offset;
        match_length_ = answer.length;
        return match_done();
      case AnswerKind::kRangeEnd:
        return range_end(answer);
      case AnswerKind::kProgress:
        return "{\"scanned\":" + std::to_string(answer.offset) +
               ",\"of\":" + std::to_string(answer.length) + "}\n";
      case AnswerKind::kDone:
        return done(answer);
      case AnswerKind::kRefused:
        return "{\"error\":\"refused\"}\n";
      case AnswerKind::kCounters:
        break;  // never asked for here
    }
    return out;
  }

  std::string match_done() {
    if (match_.size() < match_length_) return {};
    std::string object = line_object(device_, inode_, match_offset_, match_);
    match_.clear();
    match_length_ = 0;
    return object;
  }

  std::string range_end(const Answer& answer) {
    if (query_.kind == WholeQuery::Kind::kDownload) return {};
    std::string out;
    // The live end may stop in the middle of a line: that piece is a line of its own here.
    if (!partial_.empty()) out += line_object(device_, inode_, partial_offset_, partial_);
    partial_.clear();
    if (query_.before && (answer.why & codec::kReachedStart) != 0) out += "{\"start\":true}\n";
    if (!query_.before && (answer.why & codec::kReachedEnd) != 0) out += "{\"end\":true}\n";
    return out;
  }

  std::string done(const Answer& answer) const {
    std::string out = "{\"done\":true,\"matches\":" + std::to_string(answer.length);
    if (answer.next != codec::kNoNext) {
      out += ",\"next\":\"" + position_text(device_, inode_, answer.next) + "\"";
    }
    if (answer.why == static_cast<std::uint8_t>(codec::DoneWhy::kChanged)) {
      out += ",\"changed\":true";
    }
    return out + "}\n";
  }

  const WholeQuery& query_;
  const Emit& emit_;
  bool started_ = false;
  std::uint32_t id_ = 0;
  std::uint64_t device_ = 0;
  std::uint64_t inode_ = 0;
  std::string partial_;
  std::uint64_t partial_offset_ = 0;
  std::string match_;
  std::uint64_t match_offset_ = 0;
  std::uint64_t match_length_ = 0;
};

}  // namespace

std::string ok_header(const std::string& type) { return header_of(http::status::ok, type); }

void answer_whole(const follow::Source& source, const WholeQuery& query, const Emit& emit) {
  Answering answering(query, emit);
  codec::Position live_end;
  std::string problem;
  const bool fetched = follow::fetch_whole(
      source,
      [&](const codec::Position& end) {
        live_end = end;
        return answering.first(end);
      },
      [&](const Answer& answer) { return answering.take(answer); },
      [&](const Answer& last) { return answering.next(last, live_end); }, problem);
  // A failure in the middle of an answer can only cut it short: the browser sees it end early.
  if (!fetched && !answering.started()) {
    emit(header_of(http::status::bad_gateway, "text/plain; charset=utf-8") + problem + "\n");
  }
}

}  // namespace vantrel::web
