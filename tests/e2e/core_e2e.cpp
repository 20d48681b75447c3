// Start-up, settings, the socket server and the raw word commands, through
// the real binary.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>

#include "harness.h"

using namespace e2e;

// Started from another working directory, with the settings file's quirks:
// a ';' line is void, keys match as substrings, PORT keeps its low 16 bits.
TEST(Startup, OutputFilesAndSettingsFromAnotherDirectory) {
  int p = free_port();
  Options o{.write_settings = false, .modem = false, .cwd = "/", .wait_listening = false};
  o.files = {{"setup.ini", "PORT=1 ; comment\nXPORT = " + std::to_string(65536 + p) + "   \nPORT=9\nDEBUG=1\nLOGS=2\n"},
             {"devices", "@0a1b2c/rel/Lamp\n"}};
  Gateway g(o);
  ASSERT_TRUE(g.wait_output("Crons loaded: 0\n")) << g.output();
  EXPECT_EQ(g.output(), "ORVEL V1.90\nDEBUG=1\nLOGS=2\nAUTH OFF: anyone on the network can control this gateway\n"
                        "Listening on Port: " + std::to_string(65536 + p) + "\nDevices Loaded:1\nCrons loaded: 0\n");
  EXPECT_TRUE(std::filesystem::is_directory(g.dir + "/mem"));
  std::string log = g.read_file(log_today());  // DEBUG=1 logs the banner and the counts
  EXPECT_NE(log.find(" ORVEL V1.90\n"), std::string::npos) << log;
  EXPECT_NE(log.find(" Crons loaded: 0\n"), std::string::npos) << log;
  EXPECT_NE(log.find(" AUTH OFF: anyone on the network can control this gateway\n"), std::string::npos) << log;
  g.port = p;
  EXPECT_EQ(g.raw("ver\n", 500), "ORVEL V1.90\n\n");
}


TEST(RawProtocol, WordCommandsExitAndKill) {
  Gateway g({.modem = false});
  const struct { const char *send, *reply; } cases[] = {
      {"ver\r\n", "ORVEL V1.90\n\n"}, {"&listen", "&OK\nUSB0\n"}, {"debug1\r\n", "Debug ON\n"},
      {"debug0", "Debug OFF\n"},      {"debug1x", "ERR\n"},        {"HEAD / HTTP/1.1\r\n\r\n", "ERR\n"},
      {"@zz", "@OK\n"},  // no modem: every radio command is "sent"
      {"$0F", "$ERR\n"},  // and every LED command fails
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.send);
    int s = g.connect();
    ASSERT_TRUE(send_all(s, c.send));
    std::string got = recv_until(s, c.reply, 2000);
    got += recv_for(s, 100);  // nothing more may follow
    EXPECT_EQ(got, c.reply);
    close(s);
  }
  int s = g.connect();
  send_all(s, "exit\n");
  EXPECT_TRUE(wait_closed(s, 3000));
  close(s);
  EXPECT_TRUE(g.wait_output("Socket Close "));
  int k = g.connect();
  send_all(k, "kill\n");
  EXPECT_EQ(g.wait_exit(5000), 0);
  EXPECT_TRUE(g.wait_output("Bye", 1000));
  close(k);
}

TEST(SocketServer, LongLinesAndAFullSet) {
  Gateway g({.settings = "MAXPERADDR=64\n", .modem = false});
  // 5000 bytes at once: 4095 form the message; the rest of that line is
  // never a message of its own, even when it reads as a command. What
  // follows the line end is.
  int s = g.connect();
  ASSERT_TRUE(send_all(s, std::string(4095, 'x') + "@0a1b2d=77"));
  EXPECT_EQ(recv_for(s, 500), "ERR\n");
  ASSERT_TRUE(send_all(s, std::string(900, 'x') + "kill\nver\n"));
  EXPECT_EQ(recv_until(s, "\n\n", 3000), "ORVEL V1.90\n\n");
  send_all(s, "&listen");  // a listener is never closed to make room
  ASSERT_EQ(recv_until(s, "USB0\n", 2000), "&OK\nUSB0\n");

  // 63 clients fill the set: while none has been silent 10 s, a newcomer is
  // closed at once; then it is served in place of the one silent longest.
  std::vector<int> clients;
  for (int i = 0; i < 62; i++) clients.push_back(g.connect());
  for (size_t i = 1; i < clients.size(); i++) {
    send_all(clients[i], "ver");
    ASSERT_EQ(recv_until(clients[i], "\n\n", 3000), "ORVEL V1.90\n\n");
  }
  int early = g.connect();
  EXPECT_TRUE(wait_closed(early, 3000)) << "no one silent long enough yet";
  close(early);
  std::this_thread::sleep_for(std::chrono::milliseconds(10500));
  int late = g.connect();
  send_all(late, "ver");
  EXPECT_EQ(recv_until(late, "\n\n", 3000), "ORVEL V1.90\n\n");
  EXPECT_TRUE(wait_closed(clients[0], 2000)) << "the longest silent made room";
  EXPECT_FALSE(wait_closed(s, 200)) << "a listener is never chosen";
  for (int c : clients) close(c);
  close(late);
  close(s);
}
