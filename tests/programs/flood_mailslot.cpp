// A test program that writes to a mailslot of the installation $VANTOR_RUNTIME_DIR names, as
// a hostile local user would:
//   flood_mailslot NAME SECONDS big     200 KB datagrams of nothing, as fast as they go
//   flood_mailslot NAME SECONDS type    commands whose type field is 100 KB long
//   flood_mailslot NAME SECONDS short   short commands (a dump), as fast as they go
//   flood_mailslot NAME forge TEXT      one forwarded log message, a debug line saying TEXT
//   flood_mailslot NAME ask REPLY-TO    one STATUS command, its reply to mailslot REPLY-TO
// Prints how many messages went out. A full mailslot only slows it down.
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

#include "foundation/Exception.h"
#include "ipc/IPCMessage.h"
#include "ipc/MailSlot.h"
#include "logging/LogCommons.h"
#include "platform/Env.h"
#include "platform/SystemServices.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: flood_mailslot NAME SECONDS big|type|short | NAME forge|ask TEXT\n";
    return 2;
  }
  std::unique_ptr<Vantor::platform::Env> env = Vantor::platform::newSystemEnv();
  Vantor::MailSlot slot(*env, Vantor::IPC::SENDER, argv[1]);
  std::string mode = argv[3];
  if (std::string(argv[2]) == "forge") {
    Vantor::LogRecord record;
    record.debugLevel = 1;
    record.text = argv[3];
    slot.send(Vantor::formatIPCMessage("LOGMSG", "", Vantor::encodeRecord(record), ""));
    std::cout << 1 << std::endl;
    return 0;
  }
  if (std::string(argv[2]) == "ask") {
    // The reference says who asked.
    std::string reference = "asked-by-" + std::to_string(Vantor::platform::currentUserId());
    slot.send(Vantor::formatIPCMessage("COMMAND", reference, "STATUS", argv[3]));
    std::cout << 1 << std::endl;
    return 0;
  }
  std::string message;
  if (mode == "big") {
    message.assign(200000, 'B');
  } else if (mode == "type") {
    message = Vantor::formatIPCMessage(std::string(100000, 'T'), "flood", "TARNWICKDUMP", "");
  } else if (mode == "short") {
    message = Vantor::formatIPCMessage("COMMAND", "flood", "TARNWICKDUMP", "");
  } else {
    std::cerr << "flood_mailslot: unknown mode " << mode << "\n";
    return 2;
  }
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(std::atoi(argv[2]));
  long sent = 0;
  while (std::chrono::steady_clock::now() < end) {
    try {
      slot.send(message);
      ++sent;
    } catch (const Vantor::Exception&) {
      // The reader's queue stayed full for the send's time-out: go on.
    }
  }
  std::cout << sent << std::endl;
  return 0;
}
