// vantorctl: stands in for the suite's Core on this machine.
//   vantorctl listen [--count N] [--timeout S]   receive under "Vantor_Core" and print every
//                                                 forwarded log message as a log line
//   vantorctl send COMMAND [--to NAME] [--timeout S]
//                                                 send a command and print the reply, if due
//   vantorctl status [--json] [--to NAME] [--timeout S]
//                                                 ask the agent how it is
// Exit status: 0 success, 1 error (the reason on stderr), 2 usage, 3 time-out.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "foundation/Exception.h"
#include "foundation/SystemInfo.h"
#include "ipc/IPCClient.h"
#include "ipc/IPCMessage.h"
#include "ipc/LogMessengerIPC.h"
#include "ipc/MailSlot.h"
#include "logging/LogCommons.h"
#include "logging/MessageCatalogue.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kExitOk = 0;
constexpr int kExitError = 1;
constexpr int kExitUsage = 2;
constexpr int kExitTimeout = 3;

const char kUsage[] =
    "usage: vantorctl listen [--count N] [--timeout S]\n"
    "       vantorctl send COMMAND [--to NAME] [--timeout S]\n"
    "       vantorctl status [--json] [--to NAME] [--timeout S]\n"
    "       vantorctl --help | --version\n"
    "\n"
    "listen  receives under \"Vantor_Core\" and prints each log message forwarded by root or\n"
    "        this user as one log line (others are dropped); ends after N messages or S\n"
    "        seconds.\n"
    "send    sends COMMAND (DIE, RECONFIG, TARNWICKDUMP, SEND_PROCESS_INFO, STATUS,\n"
    "        STATUS_JSON) to NAME (default \"Vantor_Tarnwick\") and, where a reply is due,\n"
    "        prints its body.\n"
    "status  asks the agent how it is: when it started, its event source and its state, the\n"
    "        processes it meters, the records it wrote, its deliveries and its workers; with\n"
    "        --json as one JSON object with stable keys.\n"
    "\n"
    "Exit status: 0 success, 1 error, 2 usage, 3 time-out. $VANTOR_RUNTIME_DIR selects the\n"
    "runtime directory; $VANTOR_REGISTRY the registry file whose ConfigurationDir holds\n"
    "the message catalogues.\n";

struct Options {
  std::string verb;
  std::string command;
  std::string target = "Vantor_Tarnwick";
  std::optional<long> count;
  std::optional<double> timeoutSeconds;
  bool json = false;
};

int fail(const std::string& reason) {
  std::cerr << "vantorctl: " << reason << std::endl;
  return kExitError;
}

std::string randomHex() {
  std::random_device entropy;
  char text[17];
  std::snprintf(text, sizeof text, "%08x%08x", entropy(), entropy());
  return text;
}

std::optional<Clock::time_point> deadlineOf(const Options& options) {
  if (!options.timeoutSeconds) return std::nullopt;
  return Clock::now() +
         std::chrono::milliseconds(static_cast<long long>(*options.timeoutSeconds * 1000));
}

// Waits at most until the deadline (or a second without one) for messages.
bool waitForMessages(Vantor::MailSlot& mailslot, std::optional<Clock::time_point> deadline) {
  std::uint32_t wait = 1000;
  if (deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now());
    wait = static_cast<std::uint32_t>(std::clamp<long long>(left.count(), 0, 1000));
  }
  return mailslot.waitForMessage(wait);
}

// Catalogue texts make lines readable; without them lines show their parameters.
void loadCatalogues(Vantor::platform::Env& env) {
  std::string directory;
  if (Vantor::SystemInfo::getResourceString(env.registry(), "ConfigurationDir", directory) == 0) {
    Vantor::loadMessages(env, directory, "all");
  }
}

std::string logLineOf(const std::string& encoded) {
  Vantor::LogRecord record;
  try {
    if (!Vantor::decodeRecord(encoded, &record)) return "(undecodable) " + encoded;
  } catch (const Vantor::Exception& error) {
    return "(undecodable) " + error.description();
  }
  bool resolved = false;
  if (!record.isDebug) {
    if (auto text = Vantor::lookupMessage(record.module, record.messageNumber)) {
      record.text = Vantor::formatMessage(*text, record.text);
      resolved = true;
    }
  }
  return Vantor::formatLogLine(record, true, resolved);
}

int listen(Vantor::platform::Env& env, const Options& options) {
  loadCatalogues(env);
  std::unique_ptr<Vantor::MailSlot> mailslot;
  try {
    mailslot = std::make_unique<Vantor::MailSlot>(env, Vantor::IPC::RECEIVER,
                                                  Vantor::LogMessengerIPC::kCoreName);
  } catch (const Vantor::Exception& error) {
    return fail("cannot listen as \"Vantor_Core\": " + error.getFullText());
  }
  std::optional<Clock::time_point> deadline = deadlineOf(options);
  long printed = 0;
  std::vector<Vantor::ReceivedMessage> received;
  while (!options.count || printed < *options.count) {
    if (deadline && Clock::now() >= *deadline) {
      return options.count ? kExitTimeout : kExitOk;
    }
    if (!waitForMessages(*mailslot, deadline)) continue;
    try {
      mailslot->receive(received);
    } catch (const Vantor::Exception& error) {
      return fail(error.getFullText());
    }
    for (const Vantor::ReceivedMessage& message : received) {
      Vantor::IPCMessage parsed;
      if (!Vantor::parseIPCMessage(message.text, &parsed) || parsed.type != "LOGMSG") continue;
      std::cout << logLineOf(parsed.body) << std::endl;  // flushed: readers follow live
      if (options.count && ++printed >= *options.count) break;
    }
    received.clear();
  }
  return kExitOk;
}

int send(Vantor::platform::Env& env, const Options& options) {
  // A control character would end a field (ESC) or the message (NUL), or forge a line in a log.
  for (char c : options.command) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      return fail("the command may not hold control characters");
    }
  }
  bool replyDue = options.command == "SEND_PROCESS_INFO" || options.command == "TARNWICKDUMP" ||
                  options.command == "STATUS" || options.command == "STATUS_JSON";
  std::string reference = "vantorctl-" + randomHex();
  std::string replyTo = "vantorctl_" + randomHex();
  std::unique_ptr<Vantor::MailSlot> replies;
  if (replyDue) {
    try {
      // Root may command an agent of any user, so the reply may come from anyone; its
      // reference, known only to the agent, tells it apart.
      replies = std::make_unique<Vantor::MailSlot>(env, Vantor::IPC::RECEIVER, replyTo,
                                                   Vantor::Senders::kAnyone);
    } catch (const Vantor::Exception& error) {
      return fail("cannot receive the reply: " + error.getFullText());
    }
  }
  try {
    Vantor::IPCClient(env, options.target).send("COMMAND", reference, options.command, replyTo);
  } catch (const Vantor::Exception& error) {
    return fail("cannot send to \"" + options.target + "\": " + error.getFullText());
  }
  if (!replyDue) return kExitOk;
  Options waiting = options;
  if (!waiting.timeoutSeconds) waiting.timeoutSeconds = 10;
  std::optional<Clock::time_point> deadline = deadlineOf(waiting);
  std::vector<Vantor::ReceivedMessage> received;
  while (Clock::now() < *deadline) {
    if (!waitForMessages(*replies, deadline)) continue;
    try {
      replies->receive(received);
    } catch (const Vantor::Exception& error) {
      return fail(error.getFullText());
    }
    for (const Vantor::ReceivedMessage& message : received) {
      Vantor::IPCMessage parsed;
      if (Vantor::parseIPCMessage(message.text, &parsed) && parsed.type == "REPLY" &&
          parsed.reference == reference) {
        std::string body = parsed.body;
        if (!body.empty() && body.back() == '\n') body.pop_back();  // a block ends its own line
        std::cout << body << std::endl;
        return kExitOk;
      }
    }
    received.clear();
  }
  std::cerr << "vantorctl: no reply from \"" << options.target << "\" in time" << std::endl;
  return kExitTimeout;
}

std::optional<Options> parse(int argc, char** argv, std::string* error) {
  Options options;
  std::vector<std::string> args(argv + 1, argv + argc);
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= args.size()) return std::nullopt;
      return args[++i];
    };
    if (arg == "--count" || arg == "--timeout" || arg == "--to") {
      std::optional<std::string> given = value();
      if (!given) {
        *error = arg + " needs a value";
        return std::nullopt;
      }
      char* end = nullptr;
      if (arg == "--to") {
        options.target = *given;
      } else if (arg == "--count") {
        options.count = std::strtol(given->c_str(), &end, 10);
      } else {
        options.timeoutSeconds = std::strtod(given->c_str(), &end);
      }
      if (end != nullptr && (*end != '\0' || given->empty())) {
        *error = "not a number: " + *given;
        return std::nullopt;
      }
      // A wait of a day at most: an infinite or huge one would not fit the clock.
      constexpr double kMostSeconds = 86400;
      if ((options.timeoutSeconds &&
           !(*options.timeoutSeconds > 0 && *options.timeoutSeconds <= kMostSeconds)) ||
          (options.count && *options.count <= 0)) {
        *error =
            arg + " takes a number above 0" +
            (arg == "--timeout" ? " and up to " + std::to_string(static_cast<int>(kMostSeconds))
                                : "");
        return std::nullopt;
      }
    } else if (arg == "--json") {
      options.json = true;
    } else if (!arg.empty() && arg[0] == '-') {
      *error = "unknown option: " + arg;
      return std::nullopt;
    } else if (options.verb.empty()) {
      options.verb = arg;
    } else if (options.verb == "send" && options.command.empty()) {
      options.command = arg;
    } else {
      *error = "unexpected argument: " + arg;
      return std::nullopt;
    }
  }
  if (options.verb != "listen" && options.verb != "send" && options.verb != "status") {
    *error = options.verb.empty() ? "no verb given" : "unknown verb: " + options.verb;
    return std::nullopt;
  }
  if (options.json && options.verb != "status") {
    *error = "--json is for status only";
    return std::nullopt;
  }
  if (options.verb == "status") {
    options.verb = "send";
    options.command = options.json ? "STATUS_JSON" : "STATUS";
  }
  if (options.verb == "send" && options.command.empty()) {
    *error = "send needs a COMMAND";
    return std::nullopt;
  }
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return kExitOk;
    }
    if (arg == "--version") {
      std::cout << "vantorctl " << TARNWICK_VERSION << std::endl;
      return kExitOk;
    }
  }
  Vantor::setDebugLevel(0);
  std::string error;
  std::optional<Options> options = parse(argc, argv, &error);
  if (!options) {
    std::cerr << "vantorctl: " << error << "\n" << kUsage;
    return kExitUsage;
  }
  std::unique_ptr<Vantor::platform::Env> env = Vantor::platform::newSystemEnv();
  return options->verb == "listen" ? listen(*env, *options) : send(*env, *options);
}
