// The tool's use of CLI11: help texts in the tool's own layout, -h/--help at
// any point, the chosen command run after parsing, and CLI11's faults
// retold as one line each in the tool's words.
#include <stdio_ext.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include "insole/cli/cli.h"

namespace insole {

namespace {

std::atomic<bool>& output_failure_told() {
  static std::atomic<bool> told{false};
  return told;
}

}  // namespace

int standard_output_failed(int error) {
  if (!output_failure_told().exchange(true))
    std::fprintf(stderr, "insole: cannot write standard output%s%s\n", error ? ": " : "", error ? std::strerror(error) : "");
  __fpurge(stdout);  // what could not be written stays unwritten
  std::clearerr(stdout);
  return kExitFailed;
}

bool standard_output_failure_told() { return output_failure_told().load(); }

namespace {

// Thrown by -h/--help the moment it is read: help wins over any fault in the
// rest of the line, as users expect when they ask for it.
struct HelpWanted {
  const CLI::App* command;
  bool version = false;  // --version: the version line instead of the help
};

std::function<int()>& chosen_run() {
  static std::function<int()> run;
  return run;
}

class HelpText final : public CLI::FormatterBase {
 public:
  explicit HelpText(const Help& help) : help_(help) {}
  const Help& help() const { return help_; }
  std::string make_help(const CLI::App* app, std::string, CLI::AppFormatMode) const override;

 private:
  Help help_;
};

const Help& help_of(const CLI::App* app) {
  static const Help kNone;
  const auto* text = dynamic_cast<const HelpText*>(app->get_formatter().get());
  return text != nullptr ? text->help() : kNone;
}

std::string path_of(const CLI::App* app) {
  std::string path = app->get_name();
  for (const CLI::App* up = app->get_parent(); up != nullptr; up = up->get_parent()) path = up->get_name() + " " + path;
  return path;
}

std::string see_help(const CLI::App* app) { return " (see `" + path_of(app) + " --help`)"; }

// How an option is written: "-h, --help", "--pressure, --no-pressure",
// "--rate N", or a positional's name.
std::string spelling(const CLI::Option* option) {
  if (option->get_positional()) return option->get_name(true, false);
  std::string out;
  for (const auto& name : option->get_snames()) out += (out.empty() ? "-" : ", -") + name;
  for (const auto& name : option->get_lnames()) out += (out.empty() ? "--" : ", --") + name;
  if (option->get_expected_max() != 0) out += " " + option->get_type_name();
  return out;
}

using Entries = std::vector<std::pair<std::string, std::string>>;

bool is_help(const CLI::Option* option) { return option->get_lnames() == std::vector<std::string>{"help"}; }

// The options of app, help last; positionals only when they have a description.
Entries option_entries(const CLI::App* app, bool positional, bool with_help) {
  Entries out;
  const CLI::Option* help = nullptr;
  for (const CLI::Option* option : app->get_options()) {
    if (option->get_group().empty() || option->get_positional() != positional) continue;
    if (is_help(option)) {
      help = option;
    } else if (!positional || !option->get_description().empty()) {
      out.emplace_back(spelling(option), option->get_description());
    }
  }
  if (help != nullptr && with_help) out.emplace_back(spelling(help), help->get_description());
  return out;
}

std::string HelpText::make_help(const CLI::App* app, std::string, CLI::AppFormatMode) const {
  std::vector<std::pair<std::string, Entries>> sections;
  Entries commands;
  for (const CLI::App* sub : app->get_subcommands([](const CLI::App* s) { return !s->get_group().empty(); }))
    commands.emplace_back(sub->get_name(), sub->get_description());
  sections.emplace_back("commands", std::move(commands));
  sections.emplace_back("arguments", option_entries(app, true, false));
  sections.emplace_back("options", option_entries(app, false, true));
  // Options a subcommand hands on to its parent apply to it as well.
  if (app->get_fallthrough() && app->get_parent() != nullptr)
    sections.emplace_back("options of `" + path_of(app->get_parent()) + "`", option_entries(app->get_parent(), false, false));

  size_t width = 0;
  for (const auto& [title, entries] : sections)
    for (const auto& [left, right] : entries) width = std::max(width, left.size());
  width = std::min<size_t>(width, 26) + 4;

  std::string out = "usage: ";
  if (!help_.usage.empty()) {
    out += help_.usage;
  } else {
    out += path_of(app);
    if (!option_entries(app, false, false).empty() || app->get_fallthrough()) out += " [options]";
    for (const CLI::Option* option : app->get_options([](const CLI::Option* o) { return o->get_positional(); }))
      out += option->get_required() ? " " + spelling(option) : " [" + spelling(option) + "]";
  }
  out += "\n";
  if (!help_.about.empty()) out += "\n" + std::string(help_.about) + "\n";
  for (const auto& [title, entries] : sections) {
    if (entries.empty()) continue;
    out += "\n" + title + ":\n";
    for (const auto& [left, right] : entries) {
      std::string line = "  " + left;
      line += line.size() + 2 > width ? "\n" + std::string(width, ' ') : std::string(width - line.size(), ' ');
      for (char c : right) line += c == '\n' ? "\n" + std::string(width, ' ') : std::string(1, c);
      out += line + "\n";
    }
  }
  if (!help_.notes.empty()) out += "\n" + std::string(help_.notes) + "\n";
  return out;
}

void add_help_flag(CLI::App* app) {
  app->set_help_flag();  // CLI11's own flag would act only after every value was read
  app->add_flag_callback("-h,--help", [app] { throw HelpWanted{app}; }, "this text")->trigger_on_parse();
}

// CLI11 reads a number such as -5 as a positional argument; none of the
// tool's arguments can be one, so it is taken for what it looks like.
template <class Target>
CLI::Option* add_positional(CLI::App* command, const std::string& name, Target& target, const std::string& description) {
  return command->add_option(name, target, description)->each([](const std::string& text) {
    if (text.size() > 1 && text[0] == '-') throw UsageError("unknown option " + text);
  });
}

// The commands the arguments named, the tool first.
std::vector<const CLI::App*> chosen_path(const CLI::App& tool) {
  std::vector<const CLI::App*> path{&tool};
  for (auto subs = tool.get_subcommands(); !subs.empty(); subs = subs.front()->get_subcommands())
    path.push_back(subs.front());
  return path;
}

bool takes_value(const CLI::App& app, const std::string& name) {
  if (const CLI::Option* option = app.get_option_no_throw(name); option != nullptr && option->get_expected_max() != 0)
    return true;
  for (const CLI::App* sub : app.get_subcommands({}))
    if (takes_value(*sub, name)) return true;
  return false;
}

bool looks_like_option(const std::string& arg) { return arg.size() > 1 && arg[0] == '-'; }

// The one line a CLI11 fault becomes. Arguments nobody took come first: they
// are what the user mistyped, and CLI11 may report a missing one instead.
std::string retold(const CLI::App& tool, const CLI::ParseError& error) {
  const auto path = chosen_path(tool);
  const CLI::App* last = path.back();
  const bool lacks_subcommand = last->get_require_subcommand_min() > 0 && last->get_subcommands().empty();
  std::optional<std::string> stray;
  for (const CLI::App* app : path)
    for (const auto& arg : app->remaining(false))
      if (!stray && arg != "--") stray = arg;

  if (stray && looks_like_option(*stray)) {
    const std::string name = stray->substr(0, stray->find('='));
    if (last->get_option_no_throw(name) != nullptr) return "option " + name + " goes after " + last->get_name();
    if (const CLI::App* parent = last->get_parent(); parent != nullptr)
      for (const CLI::App* sibling : parent->get_subcommands({}))
        if (sibling->get_option_no_throw(name) != nullptr)
          return "option " + name + " does not apply to " + last->get_name();
    return "unknown option " + name;
  }
  const std::string noun(help_of(last).subcommand_noun);
  if (stray && lacks_subcommand) return "unknown " + noun + " '" + *stray + "'" + see_help(last);
  if (stray) return "unexpected argument '" + *stray + "'";
  if (lacks_subcommand) return "missing " + noun + see_help(last);

  const std::string what = error.what();
  if (error.get_name() == "RequiredError")
    for (const CLI::App* app : path)
      for (const CLI::Option* option : app->get_options())
        if (option->get_required() && option->count() == 0)
          return "missing " + spelling(option) + (option->get_positional() ? see_help(app) : "");
  if (error.get_name() == "ArgumentMismatch") {
    if (auto colon = what.find(':'); colon != std::string::npos && what.ends_with(" missing"))
      return "option " + what.substr(0, colon) + " needs a value";
    if (auto end = what.find(" was given a disallowed flag override"); end != std::string::npos)
      return "option " + std::string(what[0] == '-' ? "" : "--") + what.substr(0, end) + " takes no value";
  }
  std::string line = what;
  std::replace(line.begin(), line.end(), '\n', ' ');
  return line;
}

}  // namespace

void set_up_tool(CLI::App& tool, const Help& help) {
  tool.name("insole");
  tool.formatter(std::make_shared<HelpText>(help));
  tool.require_subcommand(1);
  tool.option_defaults()->disable_flag_override();
  add_help_flag(&tool);
  if (!help.version.empty())
    tool.add_flag_callback("--version", [&tool] { throw HelpWanted{&tool, true}; }, "the tool's and the SDK's version")
        ->trigger_on_parse();
  // `insole help` is an old spelling of `insole --help`.
  tool.add_subcommand("help")->group("")->preparse_callback([&tool](size_t) { throw HelpWanted{&tool}; });
}

CLI::App* add_command(CLI::App& parent, const std::string& name, const std::string& summary, const Help& help) {
  CLI::App* command = parent.add_subcommand(name, summary);
  command->formatter(std::make_shared<HelpText>(help));
  command->require_subcommand(0, 1);  // at most one: a later command name is an argument
  add_help_flag(command);
  return command;
}

void on_run(CLI::App* command, std::function<int()> run) {
  command->callback([run = std::move(run)] { chosen_run() = run; });
}

CLI::Option* add_text(CLI::App* command, const std::string& name, std::string& target, const std::string& value_name,
                      const std::string& description) {
  return command->add_option(name, target, description)
      ->type_name(value_name)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
}

CLI::Option* add_text(CLI::App* command, const std::string& name, std::vector<std::string>& target,
                      const std::string& value_name, const std::string& description) {
  return command->add_option(name, target, description)->type_name(value_name)->allow_extra_args(false);
}

CLI::Option* add_arguments(CLI::App* command, const std::string& name, std::string& target,
                           const std::string& description) {
  return add_positional(command, name, target, description);
}

CLI::Option* add_arguments(CLI::App* command, const std::string& name, std::vector<std::string>& target,
                           const std::string& description) {
  return add_positional(command, name, target, description);
}

int parse_and_run(CLI::App& tool, const std::vector<std::string>& args) {
  // CLI11 reads --name= as --name alone, which then takes the next argument
  // as its value: --device= --json would name a device "--json". The empty
  // value is what was written, so it is passed on as one.
  std::vector<std::string> reversed;
  for (auto arg = args.rbegin(); arg != args.rend(); ++arg) {
    const bool empty_value = arg->starts_with("--") && arg->find('=') == arg->size() - 1 &&
                             takes_value(tool, arg->substr(0, arg->size() - 1));
    if (empty_value) reversed.emplace_back();
    reversed.push_back(empty_value ? arg->substr(0, arg->size() - 1) : *arg);
  }
  try {
    tool.parse(std::move(reversed));
  } catch (const HelpWanted& wanted) {
    if (wanted.version) {
      std::printf("%s %s\n", wanted.command->get_name().c_str(), std::string(help_of(wanted.command).version).c_str());
      return kExitOk;
    }
    // Not App::help(): it hands over to a command already parsed ("help").
    const std::string text = wanted.command->get_formatter()->make_help(wanted.command, "", CLI::AppFormatMode::Normal);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return kExitOk;
  } catch (const CLI::ParseError& error) {
    throw UsageError(retold(tool, error));
  }
  return chosen_run()();
}

}  // namespace insole
