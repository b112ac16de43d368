#include "copy/engine_context.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "copy/object_factory.hpp"
#include "replikon/automation/error.hpp"
#include "replikon/automation/type_info.hpp"

namespace replikon {

EngineContext::EngineContext(const EngineSettings& settings, const ClassRegistry& registry,
                             RecursionCheckRaiser raise, RecursionCheckListening listening)
    : settings_(&settings),
      registry_(&registry),
      raise_(std::move(raise)),
      listening_(std::move(listening)) {}

bool EngineContext::RaiseRecursionCheck(const ObjectRef& parent, const ObjectRef& current,
                                        std::string_view property, bool cancel,
                                        std::int16_t error_status) noexcept {
  if (Aborted()) return true;
  if (!raise_) return cancel;
  try {
    if (listening_ && !listening_()) return cancel;
    RecursionCheckArgs args{root_, parent, current, std::string(property), cancel, error_status};
    raise_(args);
    return args.cancel;
  } catch (...) {
    Abort(std::current_exception());
    return true;
  }
}

void EngineContext::Abort(std::exception_ptr error) noexcept {
  if (!handler_error_) handler_error_ = std::move(error);
}

void EngineContext::AbortAtLimit(ProcessingLimit limit, std::int32_t value) noexcept {
  Abort(std::make_exception_ptr(ProcessingLimitExceeded(limit, value)));
}

bool EngineContext::EnterLimited(WalkLimits& limits, std::size_t level) noexcept {
  ProcessingLimit exceeded = ProcessingLimit::MaxObjects;
  if (limits.Enter(level, exceeded)) return true;
  AbortAtLimit(exceeded, limits.ValueOf(exceeded));
  return false;
}

void EngineContext::AbortOutOfMemory(const char* where) noexcept {
  if (handler_error_) return;
  // The exception object comes from the runtime's emergency reserve when the
  // heap has nothing left.
  handler_error_ = std::make_exception_ptr(std::bad_alloc());
  out_of_memory_where_ = where;
}

void AppendElementIndex(std::string& out, std::span<const ArrayBound> bounds, std::size_t flat) {
  std::vector<std::int32_t> index(bounds.size());
  for (std::size_t d = bounds.size(); d-- > 0;) {
    const auto count = static_cast<std::size_t>(bounds[d].Count());
    if (count == 0) return;
    index[d] = static_cast<std::int32_t>(static_cast<std::int64_t>(bounds[d].lower) +
                                         static_cast<std::int64_t>(flat % count));
    flat /= count;
  }
  out += '(';
  for (std::size_t d = 0; d < index.size(); ++d) {
    if (d != 0) out += ',';
    out += std::to_string(index[d]);
  }
  out += ')';
}

void EngineContext::NoteProblem(std::string_view path, std::string_view cause) {
  if (!KeepsProblems()) {
    CountProblem();
    return;
  }
  std::string line;
  line.reserve(path.size() + 2 + cause.size());
  line.append(path);
  if (!path.empty()) line.append(": ");
  line.append(cause);
  problems_.push_back(std::move(line));
}

namespace {

// Appends what a failed creation raised, unless it is the plain "cannot create".
void AppendCreationError(std::string& out, const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const AutomationError& e) {
    if (e.Number() == errors::kCannotCreateObject) return;
    out += " (its creation raised error " + std::to_string(e.Number());
    if (!e.Description().empty()) out += ", " + e.Description();
    out += ')';
  } catch (const std::exception& e) {
    out += " (its creation raised: ";
    out += e.what();
    out += ')';
  } catch (...) {
    out += " (its creation raised an exception)";
  }
}

}  // namespace

void EngineContext::NoteCreationProblem(std::string_view path, std::string_view class_name,
                                        bool external) {
  if (!KeepsProblems()) {
    CountProblem();
    return;
  }
  // external object of class "Carrier": "Shop.Carrier" cannot be created
  std::string cause = external ? "external object of class \"" : "class \"";
  cause += class_name;
  cause += "\": \"";
  cause += settings_->object_server_name;
  cause += '.';
  cause += class_name;
  cause += '"';
  switch (creation_failure_) {
    case CreationFailure::NoClassName:
      cause += " cannot be created (not a class name)";
      break;
    case CreationFailure::OtherClass:
      cause += " makes objects of another class";
      break;
    case CreationFailure::None:
    case CreationFailure::Raised:
      cause += " cannot be created";
      if (creation_error_) AppendCreationError(cause, creation_error_);
      break;
  }
  NoteProblem(path, cause);
}

void EngineContext::NoteNotAStream(std::string_view path, std::string_view reason) {
  if (!not_a_stream_.empty()) return;
  not_a_stream_.append(path);
  if (!path.empty()) not_a_stream_.append(": ");
  not_a_stream_.append(reason);
}

void EngineContext::NoteRaised(std::string_view path, const std::exception_ptr& error) {
  if (!KeepsRaised()) {
    CountRaised();
    return;
  }
  // "Invoice.Total: its property get raised error 5 (Invalid procedure call or argument)"
  std::string line(path);
  line += ": its property get raised ";
  try {
    std::rethrow_exception(error);
  } catch (const AutomationError& e) {
    line += "error " + std::to_string(e.Number());
    if (!e.Description().empty()) line += " (" + e.Description() + ")";
    if (!e.DetailList().empty()) line += ": " + e.DetailList().front();
  } catch (const std::exception& e) {
    line += e.what();
  } catch (...) {
    line += "an exception";
  }
  raised_.push_back(std::move(line));
}

std::vector<std::string> EngineContext::ProblemLines() const {
  std::vector<std::string> lines;
  // Problems that make the error come first; raising properties fill the
  // rest of the bound (a problem noted after them may have taken a place).
  const std::size_t room = kMaxProblems - std::min(problems_.size(), kMaxProblems);
  const std::size_t raised = std::min(raised_.size(), room);
  lines.reserve(problems_.size() + raised + 1);
  lines.assign(problems_.begin(), problems_.end());
  lines.insert(lines.end(), raised_.begin(), raised_.begin() + static_cast<std::ptrdiff_t>(raised));
  const std::size_t more = problems_not_kept_ + raised_not_kept_ + (raised_.size() - raised);
  if (more != 0) lines.push_back("... and " + std::to_string(more) + " more");
  return lines;
}

const std::string& EngineContext::ProgId(std::string_view class_name) {
  const std::string& server = settings_->object_server_name;
  prog_id_.clear();
  prog_id_.reserve(server.size() + 1 + class_name.size());
  prog_id_.append(server);
  prog_id_.push_back('.');
  prog_id_.append(class_name);
  return prog_id_;
}

namespace {

template <class W>
W WordAt(const char* p) noexcept {
  W w;
  std::memcpy(&w, p, sizeof(W));
  return w;
}

// Whether two names are equal. Names of servers and classes are short; those
// of 4 to 16 characters are compared as two overlapping words each.
inline bool SameName(std::string_view a, std::string_view b) noexcept {
  const std::size_t n = a.size();
  if (n != b.size()) return false;
  if (n >= 8 && n <= 16) {
    return WordAt<std::uint64_t>(a.data()) == WordAt<std::uint64_t>(b.data()) &&
           WordAt<std::uint64_t>(a.data() + n - 8) == WordAt<std::uint64_t>(b.data() + n - 8);
  }
  if (n >= 4 && n < 8) {
    return WordAt<std::uint32_t>(a.data()) == WordAt<std::uint32_t>(b.data()) &&
           WordAt<std::uint32_t>(a.data() + n - 4) == WordAt<std::uint32_t>(b.data() + n - 4);
  }
  return a == b;
}

}  // namespace

const EngineContext::KnownClass& EngineContext::ClassFor(std::string_view class_name) {
  // A call meets few classes; the one met last is the likeliest.
  const std::string& server = settings_->object_server_name;
  const std::uint64_t generation = registry_->Generation();
  for (auto k = known_.rbegin(); k != known_.rend(); ++k) {
    if (k->generation == generation && SameName(k->class_name, class_name) &&
        SameName(k->server, server)) {
      return *k;
    }
  }
  return LookUpClass(class_name, server, generation);
}

const EngineContext::KnownClass& EngineContext::LookUpClass(std::string_view class_name,
                                                            const std::string& server,
                                                            std::uint64_t generation) {
  constexpr std::size_t kMaxKnown = 16;
  if (known_.size() == kMaxKnown) known_.erase(known_.begin());
  std::shared_ptr<const ClassDefinition> definition = registry_->FindDefinition(ProgId(class_name));
  const bool reports = definition != nullptr && definition->info != nullptr &&
                       definition->info->Name() == class_name;
  known_.push_back(
      KnownClass{server, std::string(class_name), std::move(definition), generation, reports});
  return known_.back();
}

ObjectRef EngineContext::CreateByClassName(std::string_view class_name) {
  bool reports_class_name = false;
  return CreateByClassName(class_name, reports_class_name);
}

ObjectRef EngineContext::CreateByClassName(std::string_view class_name, bool& reports_class_name) {
  // A name that is no class name is not looked up: joined to the server's
  // name it could name a class of another server.
  if (!IsClassName(class_name)) {
    errors::RaiseWithDetail(errors::kCannotCreateObject,
                            "\"" + std::string(class_name) + "\" is no class name");
  }
  const KnownClass& known = ClassFor(class_name);
  if (known.definition == nullptr) {
    errors::RaiseWithDetail(errors::kCannotCreateObject,
                            "no class is registered as \"" + ProgId(class_name) + "\"");
  }
  const ClassDefinition& definition = *known.definition;
  const bool reports = known.reports_class_name;
  ObjectRef instance = ClassRegistry::Instantiate(definition);
  // An instance of the class's own type information reports its name, known
  // already; anything else the create function made is asked.
  reports_class_name =
      instance != nullptr &&
      (instance->ClassPtr() == definition.info ? reports : instance->Class().Name() == class_name);
  return instance;
}

}  // namespace replikon
