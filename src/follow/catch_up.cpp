#include "follow/catch_up.h"

#include <algorithm>

namespace vantrel::follow {

namespace {

using codec::Answer;
using codec::AnswerKind;
using codec::WholeRequest;

WholeRequest lines_request(CatchUp& catch_up, bool before, std::uint64_t offset,
                           std::uint64_t count) {
  WholeRequest request;
  request.kind = WholeRequest::Kind::kLines;
  request.id = ++catch_up.id;
  request.before = before;
  request.at = unchecked(catch_up.live_start, offset);
  request.count = std::min(count, codec::kMostRangeLines);
  if (!before) request.bound = catch_up.live_start.offset;
  return request;
}

WholeRequest find_request(CatchUp& catch_up, std::uint64_t offset) {
  WholeRequest request;
  request.kind = WholeRequest::Kind::kFind;
  request.id = ++catch_up.id;
  request.before = false;
  request.at = unchecked(catch_up.live_start, offset);
  request.bound = catch_up.live_start.offset;
  request.count = codec::kMostMatches;
  request.regex = catch_up.regex;
  request.pattern = catch_up.pattern;
  return request;
}

CatchUpStep finish(CatchUp& catch_up, CatchUpStep step) {
  catch_up.running = false;
  catch_up.done = true;
  step.finished = true;
  return step;
}

CatchUpStep trouble(CatchUp& catch_up, std::string problem) {
  catch_up.trouble = true;
  CatchUpStep step;
  step.problem = std::move(problem);
  // The last lines had so far are still the log's, oldest first.
  for (auto page = catch_up.pages.rbegin(); page != catch_up.pages.rend(); ++page) {
    step.write += *page;
  }
  return finish(catch_up, std::move(step));
}

std::string refusal(const Answer& answer) {
  return "the daemon refused to read the log's history: " + std::string(answer.bytes);
}

CatchUpStep take_last_lines(CatchUp& catch_up, const Answer& answer) {
  if (answer.kind == AnswerKind::kBytes) {
    catch_up.pages.back() += answer.bytes;
    return {};
  }
  const std::string& page = catch_up.pages.back();
  catch_up.have += static_cast<std::uint64_t>(std::count(page.begin(), page.end(), '\n'));
  if (catch_up.have < catch_up.lines && (answer.why & codec::kReachedStart) == 0 &&
      answer.offset > 0) {
    catch_up.pages.emplace_back();
    CatchUpStep step;
    step.next = lines_request(catch_up, true, answer.offset, catch_up.lines - catch_up.have);
    return step;
  }
  CatchUpStep step;
  for (auto older = catch_up.pages.rbegin(); older != catch_up.pages.rend(); ++older) {
    step.write += *older;
  }
  catch_up.pages.clear();
  return finish(catch_up, std::move(step));
}

// From line K on: the K - 1 lines before it are passed over.
CatchUpStep take_from_line(CatchUp& catch_up, const Answer& answer) {
  CatchUpStep step;
  if (answer.kind == AnswerKind::kBytes) {
    std::string_view bytes = answer.bytes;
    while (catch_up.have + 1 < catch_up.lines && !bytes.empty()) {
      const std::size_t newline = bytes.find('\n');
      if (newline == std::string_view::npos) return {};
      bytes.remove_prefix(newline + 1);
      ++catch_up.have;
    }
    step.write = std::string(bytes);
    return step;
  }
  if ((answer.why & codec::kReachedEnd) != 0 || answer.length >= catch_up.live_start.offset) {
    return finish(catch_up, std::move(step));
  }
  step.next = lines_request(catch_up, false, answer.length, codec::kMostRangeLines);
  return step;
}

CatchUpStep take_match(CatchUp& catch_up, const Answer& answer) {
  CatchUpStep step;
  if (answer.kind == AnswerKind::kMatch) {
    catch_up.line = std::string(answer.bytes);
    catch_up.line_length = answer.length;
  } else if (answer.kind == AnswerKind::kBytes) {
    catch_up.line += answer.bytes;
  } else if (answer.kind == AnswerKind::kDone) {
    const auto why = static_cast<codec::DoneWhy>(answer.why);
    if (why == codec::DoneWhy::kCap && answer.next != codec::kNoNext) {
      step.next = find_request(catch_up, answer.next);
      return step;
    }
    if (why != codec::DoneWhy::kEdge) return trouble(catch_up, "the log changed under the search");
    return finish(catch_up, std::move(step));
  }
  if (answer.kind == AnswerKind::kProgress || catch_up.line.size() < catch_up.line_length) {
    return step;
  }
  step.write = std::move(catch_up.line);
  if (step.write.empty() || step.write.back() != '\n') step.write += '\n';
  catch_up.line.clear();
  catch_up.line_length = 0;
  ++catch_up.have;
  return step;
}

}  // namespace

codec::Position unchecked(const codec::Position& in_file, std::uint64_t offset) {
  return codec::Position{in_file.device, in_file.inode, offset, 0, codec::check_of(nullptr, 0)};
}

codec::WholeRequest first_request(CatchUp& catch_up) {
  catch_up.running = true;
  switch (catch_up.goal) {
    case CatchUp::Goal::kLastLines:
      catch_up.pages.emplace_back();
      return lines_request(catch_up, true, catch_up.live_start.offset, catch_up.lines);
    case CatchUp::Goal::kFromLine:
      return lines_request(catch_up, false, 0, codec::kMostRangeLines);
    case CatchUp::Goal::kMatches:
    case CatchUp::Goal::kNone:
      break;
  }
  return find_request(catch_up, 0);
}

CatchUpStep take_catch_up_answer(CatchUp& catch_up, const Answer& answer) {
  if (!catch_up.running || answer.id != catch_up.id) return {};  // an earlier request's
  if (answer.kind == AnswerKind::kRefused) return trouble(catch_up, refusal(answer));
  if (catch_up.goal == CatchUp::Goal::kMatches) return take_match(catch_up, answer);
  if (answer.kind == AnswerKind::kDone) {
    return trouble(catch_up, "the log changed while its history was read");
  }
  if (answer.kind != AnswerKind::kBytes && answer.kind != AnswerKind::kRangeEnd) return {};
  return catch_up.goal == CatchUp::Goal::kLastLines ? take_last_lines(catch_up, answer)
                                                    : take_from_line(catch_up, answer);
}

}  // namespace vantrel::follow
