#include "components/remote.h"

#include <algorithm>

namespace cardsim {
namespace {

// A slow answer comes after the updater's 4 s wait for it.
constexpr Ms kSlowMs = 5000;

bool named(const Options& o, const char* option, const std::string& word) {
  const std::vector<std::string> words = o.all(option);
  return std::find(words.begin(), words.end(), word) != words.end();
}

void logCommand(CardContext& card, const std::string& entry) {
  std::vector<uint8_t> log = card.state.load("remote.log").value_or(std::vector<uint8_t>{});
  log.insert(log.end(), entry.begin(), entry.end());
  log.push_back('\n');
  card.state.save("remote.log", log);
}

}  // namespace

void answerCommand(CardContext& card, const std::string& line, Wire& w) {
  const Options& o = card.options;
  const std::string word = line.substr(0, line.find(' '));
  if (named(o, "remote-silent", word)) {
    w.note("command '" + line + "' left unanswered");
    return;
  }
  bool ack = !named(o, "remote-nack", word);
  if (ack && o.has("remote-known")) ack = named(o, "remote-known", word);
  const Fault* f = card.faults(channelFaultFamily()).next(Exchange{"remote"}, w);
  const std::string stray = o.get("remote-stray");
  const std::vector<uint8_t> answer = bytesOf(stray + (ack ? "#ACK\r" : "#NACK\r"));
  const Spoiled spoiled = sendSpoiled(f, answer, bytesOf("#" + line + "\r"), 0, kSlowMs, w);
  if (spoiled == Spoiled::Refused) {
    ack = false;
    w.send(stray + "#NACK\r");
  }
  w.note("command '" + line + "' " + (ack ? "acknowledged" : "refused"));
  logCommand(card, (ack ? "ACK " : "NACK ") + line);
}

void answerLoneCarriageReturn(CardContext& card, Wire& w) {
  if (card.options.has("remote-no-prompt")) return;
  const Fault* f = card.faults(channelFaultFamily()).next(Exchange{"remote-prompt"}, w);
  if (sendSpoiled(f, bytesOf(">"), bytesOf("\r"), 0, kSlowMs, w) == Spoiled::Refused) w.send("#NACK\r");
}

std::vector<OptionSpec> remoteOptions() {
  return {
      {"remote-nack", true, "refuse commands with this first word (\"#NACK\\r\"; repeatable)"},
      {"remote-silent", true, "leave commands with this first word unanswered (repeatable)"},
      {"remote-known", true,
       "acknowledge only commands with these first words, refuse the rest (repeatable)"},
      {"remote-stray", true, "bytes sent before every command answer (without '#')"},
      {"remote-no-prompt", false, "do not answer a lone carriage return"},
  };
}

}  // namespace cardsim
