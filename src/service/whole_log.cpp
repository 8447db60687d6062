#include "service/whole_log.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "codec/frame.h"
#include "codec/whole.h"
#include "service/counters.h"
#include "service/resume.h"
#include "service/service_state.h"

namespace vantrel::service {

namespace {

using codec::Answer;
using codec::AnswerKind;
using codec::DoneWhy;
using codec::RefusedWhy;
using codec::WholeRequest;

Answer answer_of(AnswerKind kind, std::uint32_t id) {
  Answer answer;
  answer.kind = kind;
  answer.id = id;
  return answer;
}

std::size_t index_in(const void* at, const std::vector<std::uint8_t>& bytes) {
  return static_cast<std::size_t>(static_cast<const std::uint8_t*>(at) - bytes.data());
}

// The longest line a search looks at whole.
constexpr std::size_t kLongestLine = std::size_t{1} << 20;

// How often a search says how far it has come.
constexpr std::chrono::milliseconds kProgressInterval{250};

// Makes room at the end of the job's answers for an answer with `size` bytes after its fields,
// writes its fields there and returns where it starts; finish_answer frames it once its bytes
// are in place.
std::size_t begin_answer(WholeJob& job, const Answer& answer, std::size_t size) {
  const std::size_t start = job.out.size();
  const std::size_t payload = codec::answer_fields(answer.kind) + size;
  job.out.resize(start + codec::kAnswerHead + codec::encoded_room(payload));
  codec::write_answer_fields(job.out.data() + start + codec::kAnswerHead, answer);
  return start;
}

std::uint8_t* answer_bytes(WholeJob& job, std::size_t start, AnswerKind kind) {
  return job.out.data() + start + codec::kAnswerHead + codec::answer_fields(kind);
}

void finish_answer(WholeJob& job, const Settings& settings, std::size_t start, AnswerKind kind,
                   std::size_t size) {
  std::uint8_t* head = job.out.data() + start;
  const std::size_t frame = codec::encode_frame(head + codec::kAnswerHead,
                                                codec::answer_fields(kind) + size, settings.key);
  codec::write_length_prefix(head, codec::kAnswerMark);
  codec::write_length_prefix(head + codec::kLengthPrefixBytes, frame);
  job.out.resize(start + codec::kAnswerHead + frame);
}

void add_answer(WholeJob& job, const Settings& settings, const Answer& answer,
                std::string_view bytes = {}) {
  const std::size_t start = begin_answer(job, answer, bytes.size());
  if (!bytes.empty())
    std::memcpy(answer_bytes(job, start, answer.kind), bytes.data(), bytes.size());
  finish_answer(job, settings, start, answer.kind, bytes.size());
}

// Bytes of the file at `from`, read straight into an answer of `kind`. False when the file no
// longer holds them: the answer is taken back.
bool add_file_answer(WholeJob& job, const Settings& settings, int file, const Answer& answer,
                     std::int64_t from, std::size_t size) {
  const std::size_t start = begin_answer(job, answer, size);
  const ssize_t count =
      pread(file, answer_bytes(job, start, answer.kind), size, static_cast<off_t>(from));
  if (count != static_cast<ssize_t>(size)) {
    job.out.resize(start);
    return false;
  }
  finish_answer(job, settings, start, answer.kind, size);
  return true;
}

// The job is over; its answers still leave.
void end_job(WholeJob& job) {
  std::vector<std::uint8_t> out = std::move(job.out);
  const std::size_t sent = job.out_sent;
  job = WholeJob{};
  job.out = std::move(out);
  job.out_sent = sent;
}

void finish(WholeJob& job, const Settings& settings, DoneWhy why,
            std::uint64_t next = codec::kNoNext) {
  Answer done = answer_of(AnswerKind::kDone, job.id);
  done.why = static_cast<std::uint8_t>(why);
  done.length = job.kind == WholeJob::Kind::kFind ? job.found : 0;
  done.next = next;
  done.device = job.device;
  done.inode = job.inode;
  add_answer(job, settings, done);
  end_job(job);
}

void refuse(WholeJob& job, const Settings& settings, std::uint32_t id, RefusedWhy why,
            std::string_view sentence) {
  Answer refused = answer_of(AnswerKind::kRefused, id);
  refused.why = static_cast<std::uint8_t>(why);
  add_answer(job, settings, refused, sentence);
}

// The position names a byte of the file followed now, up to its end, and the bytes before it
// are those its token was made of.
bool is_in_log(const ServiceState& state, const codec::Position& at, std::int64_t end) {
  const KeptFile& log = state.log;
  return log.descriptor >= 0 && at.device == log.device && at.inode == log.inode &&
         at.offset <= static_cast<std::uint64_t>(end) && check_holds(log.descriptor, at);
}

bool has_changed(const ServiceState& state, const WholeJob& job) {
  return job.generation != state.generation || job.rewinds != state.rewinds ||
         state.log.descriptor < 0 || current_end(state) < job.high;
}

bool start_job(ServiceState& state, const Settings& settings, WholeJob& job,
               const WholeRequest& request) {
  // The file as it stands, though the live stream may not have sent its last bytes yet.
  const std::int64_t end = current_end(state);
  if (!is_in_log(state, request.at, end)) {
    refuse(job, settings, request.id, RefusedWhy::kGone,
           "the position is not in the log the daemon follows now");
    return false;
  }
  const auto offset = static_cast<std::int64_t>(request.at.offset);
  const auto bound =
      request.bound ? static_cast<std::int64_t>(std::min<std::uint64_t>(*request.bound, INT64_MAX))
                    : -1;
  job.id = request.id;
  job.before = request.before;
  job.generation = state.generation;
  job.rewinds = state.rewinds;
  job.device = state.log.device;
  job.inode = state.log.inode;
  job.low = request.before ? std::clamp<std::int64_t>(bound, 0, offset) : offset;
  job.high = request.before ? offset : std::clamp(bound < 0 ? end : bound, offset, end);
  job.wanted = request.count;
  return true;
}

void start_lines(ServiceState& state, const Settings& settings, WholeJob& job,
                 const WholeRequest& request) {
  if (!start_job(state, settings, job, request)) return;
  job.kind = WholeJob::Kind::kLines;
  ++state.counters.ranges;
  // The byte before the position ends the last line before it: that newline is not counted.
  job.cursor = job.before ? job.high - 1 : job.low;
}

void start_find(ServiceState& state, const Settings& settings, WholeJob& job,
                const WholeRequest& request) {
  if (running_searches(state) >= kMostSearches) {
    ++state.counters.searches_busy;
    refuse(job, settings, request.id, RefusedWhy::kBusy,
           "as many searches run as the daemon allows; ask again soon");
    return;
  }
  std::string error;
  std::optional<search::Matcher> matcher =
      search::make_matcher(request.pattern, request.regex, error);
  if (!matcher) {
    refuse(job, settings, request.id, RefusedWhy::kBadPattern, error);
    return;
  }
  if (!start_job(state, settings, job, request)) return;
  job.kind = WholeJob::Kind::kFind;
  ++state.counters.searches;
  job.matcher = std::move(*matcher);
  job.cursor = job.before ? job.high : job.low;
  job.scan.resize(kSliceBytes);
  Answer progress = answer_of(AnswerKind::kProgress, job.id);
  progress.length = static_cast<std::uint64_t>(job.high - job.low);
  add_answer(job, settings, progress);
  job.progress_at = Clock::now();
}

void act_on(ServiceState& state, const Settings& settings, int descriptor, std::string_view text) {
  WholeJob& job = viewer_at(state, descriptor).job;
  const std::optional<WholeRequest> request = codec::parse_request(text);
  // The counters are answered beside whatever runs; anything else ends what was asked before.
  if (request && request->kind == WholeRequest::Kind::kStats) {
    add_answer(job, settings, answer_of(AnswerKind::kCounters, request->id), counters_text(state));
    return;
  }
  if (job.kind != WholeJob::Kind::kNone) finish(job, settings, DoneWhy::kCancelled);
  if (!request) {
    refuse(job, settings, codec::request_id_of(text), RefusedWhy::kMalformed,
           "the request can't be read, or asks for more than the daemon gives at once");
  } else if (request->kind == WholeRequest::Kind::kLines) {
    start_lines(state, settings, job, *request);
  } else if (request->kind == WholeRequest::Kind::kFind) {
    start_find(state, settings, job, *request);
  }
}

// A range's other end is found: its bytes go next, then where it ends.
void start_sending(WholeJob& job, const ServiceState& state, std::int64_t from, std::int64_t to) {
  job.sending = true;
  job.first = from;
  job.send_from = from;
  job.send_to = to;
  // Newest first, the range ends at the position; oldest first, at the bound or the live end.
  const bool at_end = job.before ? to == current_end(state) : to == job.high;
  job.edges = static_cast<std::uint8_t>((from == job.low ? codec::kReachedStart : 0) |
                                        (at_end ? codec::kReachedEnd : 0));
}

void send_range_slice(ServiceState& state, const Settings& settings, WholeJob& job) {
  constexpr std::size_t kMostBytes = codec::kMaxPayload - 13;
  std::size_t sent = 0;
  while (sent < kSliceBytes && job.send_from < job.send_to) {
    const auto size = static_cast<std::size_t>(
        std::min<std::int64_t>(job.send_to - job.send_from, static_cast<std::int64_t>(kMostBytes)));
    Answer bytes = answer_of(AnswerKind::kBytes, job.id);
    bytes.offset = static_cast<std::uint64_t>(job.send_from);
    if (!add_file_answer(job, settings, state.log.descriptor, bytes, job.send_from, size)) {
      finish(job, settings, DoneWhy::kChanged);
      return;
    }
    job.send_from += static_cast<std::int64_t>(size);
    sent += size;
  }
  if (job.send_from < job.send_to) return;
  Answer end = answer_of(AnswerKind::kRangeEnd, job.id);
  end.device = job.device;
  end.inode = job.inode;
  end.offset = static_cast<std::uint64_t>(job.first);
  end.length = static_cast<std::uint64_t>(job.send_to);
  end.why = job.edges;
  add_answer(job, settings, end);
  end_job(job);
}

// Counts lines down from the position, a slice at a time, within the bound and the most bytes
// a range holds; where the count falls short, the range starts at the bound, or at the first
// line start past the most bytes.
void count_lines_before(ServiceState& state, WholeJob& job) {
  const std::int64_t limit =
      std::max(job.low, job.high - static_cast<std::int64_t>(codec::kMostRangeBytes));
  if (job.cursor > limit) {
    const std::int64_t from = std::max(limit, job.cursor - static_cast<std::int64_t>(kSliceBytes));
    job.scan.resize(kSliceBytes);
    const ssize_t count = pread(state.log.descriptor, job.scan.data(),
                                static_cast<std::size_t>(job.cursor - from), from);
    for (ssize_t i = count - 1; i >= 0; --i) {
      if (job.scan[static_cast<std::size_t>(i)] != '\n') continue;
      job.outer_line = from + i + 1;
      if (++job.found == job.wanted) return start_sending(job, state, job.outer_line, job.high);
    }
    job.cursor = count > 0 ? from : limit;
  }
  if (job.cursor > limit) return;
  const std::int64_t start =
      limit == job.low ? job.low : (job.outer_line >= 0 ? job.outer_line : limit);
  start_sending(job, state, start, job.high);
}

void count_lines_after(ServiceState& state, WholeJob& job) {
  const std::int64_t limit =
      std::min(job.high, job.low + static_cast<std::int64_t>(codec::kMostRangeBytes));
  if (job.cursor < limit) {
    const std::int64_t to = std::min(limit, job.cursor + static_cast<std::int64_t>(kSliceBytes));
    job.scan.resize(kSliceBytes);
    const ssize_t count = pread(state.log.descriptor, job.scan.data(),
                                static_cast<std::size_t>(to - job.cursor), job.cursor);
    for (ssize_t i = 0; i < count; ++i) {
      if (job.scan[static_cast<std::size_t>(i)] != '\n') continue;
      job.outer_line = job.cursor + i + 1;
      if (++job.found == job.wanted) return start_sending(job, state, job.low, job.outer_line);
    }
    job.cursor = count > 0 ? to : limit;
  }
  if (job.cursor < limit) return;
  const std::int64_t end =
      limit == job.high ? job.high : (job.outer_line >= 0 ? job.outer_line : limit);
  start_sending(job, state, job.low, end);
}

// A matching line: its first bytes with the match, the rest behind.
void add_match(WholeJob& job, const Settings& settings, std::int64_t block_from,
               const search::LineSpan& line) {
  constexpr std::size_t kFirstBytes = codec::kMaxPayload - 21;
  constexpr std::size_t kMoreBytes = codec::kMaxPayload - 13;
  const auto* bytes = reinterpret_cast<const char*>(job.scan.data());
  Answer match = answer_of(AnswerKind::kMatch, job.id);
  match.offset = static_cast<std::uint64_t>(block_from) + line.start;
  match.length = line.end - line.start;
  std::size_t at = line.start;
  std::size_t size = std::min(kFirstBytes, line.end - at);
  add_answer(job, settings, match, std::string_view(bytes + at, size));
  for (at += size; at < line.end; at += size) {
    size = std::min(kMoreBytes, line.end - at);
    Answer more = answer_of(AnswerKind::kBytes, job.id);
    more.offset = static_cast<std::uint64_t>(block_from) + at;
    add_answer(job, settings, more, std::string_view(bytes + at, size));
  }
  ++job.found;
}

// The lines of the slice [block_from, block_from + size) that match, in the job's order. Says
// where to go on when the most matches are found; returns whether it did.
bool add_matches(WholeJob& job, const Settings& settings, std::int64_t block_from, std::size_t from,
                 std::size_t to) {
  const std::string_view text(reinterpret_cast<const char*>(job.scan.data()), to);
  std::vector<search::LineSpan> lines;
  std::size_t at = from;
  while (const auto line = search::next_matching_line(job.matcher, text, at, to)) {
    at = line->end;
    if (job.before) {
      lines.push_back(*line);
      continue;
    }
    add_match(job, settings, block_from, *line);
    if (job.found == job.wanted) {
      finish(job, settings, DoneWhy::kCap, static_cast<std::uint64_t>(block_from) + line->end);
      return true;
    }
  }
  for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
    add_match(job, settings, block_from, *line);
    if (job.found == job.wanted) {
      finish(job, settings, DoneWhy::kCap, static_cast<std::uint64_t>(block_from) + line->start);
      return true;
    }
  }
  return false;
}

void say_progress(WholeJob& job, const Settings& settings, Clock::time_point now) {
  if (now < job.progress_at + kProgressInterval) return;
  job.progress_at = now;
  Answer progress = answer_of(AnswerKind::kProgress, job.id);
  progress.offset =
      static_cast<std::uint64_t>(job.before ? job.high - job.cursor : job.cursor - job.low);
  progress.length = static_cast<std::uint64_t>(job.high - job.low);
  add_answer(job, settings, progress);
}

// Looks at one slice of whole lines: a line cut by the slice's edge is looked at with the next
// slice. A line longer than the slice makes the slice grow to hold it, up to kLongestLine; one
// longer still is looked at in pieces that long.
void find_slice(ServiceState& state, const Settings& settings, WholeJob& job,
                Clock::time_point now) {
  const auto slice = static_cast<std::int64_t>(job.scan.size());
  const std::int64_t block_from = job.before ? std::max(job.low, job.cursor - slice) : job.cursor;
  const std::int64_t block_to = job.before ? job.cursor : std::min(job.high, job.cursor + slice);
  const ssize_t count = block_to > block_from
                            ? pread(state.log.descriptor, job.scan.data(),
                                    static_cast<std::size_t>(block_to - block_from), block_from)
                            : 0;
  if (count != block_to - block_from) return finish(job, settings, DoneWhy::kChanged);
  const auto size = static_cast<std::size_t>(count);
  std::size_t from = 0;
  std::size_t to = size;
  const bool cut = job.before ? block_from > job.low : block_to < job.high;
  // Newest first, the slice ends with the newline of the line before the cursor: the line
  // that begins in it starts after an earlier one.
  const void* newline = !cut         ? nullptr
                        : job.before ? std::memchr(job.scan.data(), '\n', size - 1)
                                     : memrchr(job.scan.data(), '\n', size);
  if (cut && newline == nullptr && job.scan.size() < kLongestLine) {
    job.scan.resize(std::min(2 * job.scan.size(), kLongestLine));
    return;  // the next turn looks at a slice that may hold the line
  }
  if (newline != nullptr && job.before) from = index_in(newline, job.scan) + 1;
  if (newline != nullptr && !job.before) to = index_in(newline, job.scan) + 1;
  if (add_matches(job, settings, block_from, from, to)) return;
  job.cursor = job.before ? block_from + static_cast<std::int64_t>(from)
                          : block_from + static_cast<std::int64_t>(to);
  if (job.before ? job.cursor <= job.low : job.cursor >= job.high) {
    return finish(job, settings, DoneWhy::kEdge);
  }
  say_progress(job, settings, now);
}

void work_on(ServiceState& state, const Settings& settings, WholeJob& job, Clock::time_point now) {
  if (has_changed(state, job)) return finish(job, settings, DoneWhy::kChanged);
  if (job.kind == WholeJob::Kind::kFind) return find_slice(state, settings, job, now);
  if (job.sending) return send_range_slice(state, settings, job);
  if (job.before) return count_lines_before(state, job);
  count_lines_after(state, job);
}

}  // namespace

void take_requests(ServiceState& state, const Settings& settings, int descriptor,
                   std::size_t received) {
  Viewer& viewer = viewer_at(state, descriptor);
  viewer.requests.append(reinterpret_cast<const char*>(state.buffer.get()), received);
  constexpr std::size_t kMostFrame = codec::encoded_room(codec::kMostRequest);
  std::uint8_t frame[kMostFrame + 1];
  while (viewer.requests.size() >= codec::kLengthPrefixBytes) {
    const std::size_t length =
        codec::read_length_prefix(reinterpret_cast<const std::uint8_t*>(viewer.requests.data()));
    if (length == 0 || length > kMostFrame) {
      std::printf("vantrel: Client(%d) sent a request that can't be read.\n", descriptor);
      drop_viewer(state, descriptor);
      return;
    }
    if (viewer.requests.size() < codec::kLengthPrefixBytes + length) return;
    std::memcpy(frame, viewer.requests.data() + codec::kLengthPrefixBytes, length);
    viewer.requests.erase(0, codec::kLengthPrefixBytes + length);
    const std::size_t text_end = codec::decode_frame(frame, length, settings.key);
    act_on(state, settings, descriptor,
           std::string_view(reinterpret_cast<const char*>(frame), text_end));
  }
}

void work_on_jobs(ServiceState& state, const Settings& settings) {
  const Clock::time_point now = Clock::now();
  for (Viewer& viewer : state.viewers) {
    if (viewer.job.kind != WholeJob::Kind::kNone && !has_answers(viewer)) {
      work_on(state, settings, viewer.job, now);
    }
  }
}

int running_searches(const ServiceState& state) {
  return static_cast<int>(
      std::count_if(state.viewers.begin(), state.viewers.end(),
                    [](const Viewer& viewer) { return viewer.job.kind == WholeJob::Kind::kFind; }));
}

bool has_job_work(const ServiceState& state) {
  return std::any_of(state.viewers.begin(), state.viewers.end(), [](const Viewer& viewer) {
    return viewer.job.kind != WholeJob::Kind::kNone && !has_answers(viewer);
  });
}

bool send_answers(ServiceState& state, int descriptor) {
  Viewer& viewer = viewer_at(state, descriptor);
  WholeJob& job = viewer.job;
  const ssize_t sent = connection_send(viewer.connection, descriptor, {}, job.out, job.out_sent);
  if (sent < 0) {
    drop_for_failed_send(state, descriptor, errno);
    return false;
  }
  job.out_sent += static_cast<std::size_t>(sent);
  state.counters.sent_bytes += static_cast<std::uint64_t>(sent);
  if (has_answers(viewer)) {
    viewer.blocked = true;
    return false;
  }
  job.out.clear();
  job.out_sent = 0;
  return true;
}

}  // namespace vantrel::service
