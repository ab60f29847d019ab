// The simulated crate: what answers the bus cycles of the simulated driver.
#include "sim_crate.h"

#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>

#include "trigger_source.h"

namespace mdq::sim {
namespace {

constexpr std::uint32_t kTdcBase = 0x44440000;
constexpr std::size_t kCycleLogLimit = 4096;
constexpr std::uint32_t kFiller = 0xC0000000;
// The veto holds until the program releases it.
constexpr std::uint16_t PIO_POWER_ON = 1;
constexpr std::size_t kBufferWordLimit = 32 * 1024;  // the module's output buffer

int fail_status() { return -1; }

struct Crate {
  std::mutex mu;
  // driver
  std::map<int, unsigned char> sessions;
  int nextHandle = 1;
  std::set<DriverOp> failingOps;
  std::set<std::uint32_t> failingAddresses;
  std::deque<SimCycle> log;
  // faults
  bool statusNeverReady = false;
  HandshakeMode handshake = HandshakeMode::Normal;
  bool noGlobalTrailer = false;
  unsigned extraTriggerEvery = 0;
  unsigned readyCount = 0;
  // state
  SimCrateState s;
  // micro-controller
  std::deque<std::uint16_t> answers;
  std::uint16_t opcode = 0;
  int dataExpected = 0;
  std::uint16_t patternLow = 0;
  // output buffer: words, and the length of every event still in it
  std::deque<std::uint32_t> words;
  std::deque<std::size_t> eventWords;
  std::size_t headWordsRead = 0;

  void powerOn() {
    sessions.clear();
    nextHandle = 1;
    failingOps.clear();
    failingAddresses.clear();
    log.clear();
    statusNeverReady = false;
    handshake = HandshakeMode::Normal;
    noGlobalTrailer = false;
    extraTriggerEvery = 0;
    readyCount = 0;
    s = SimCrateState{};
    s.pioOutput = PIO_POWER_ON;
    moduleReset();
    s.moduleResets = 0;
    shared_trigger_source().reset();
    updateVeto();
  }

  void updateVeto() { shared_trigger_source().setVeto((s.pioOutput & 1) != 0); }

  void clearBuffer() {
    shared_trigger_source().discardTdcPending();
    words.clear();
    eventWords.clear();
    headWordsRead = 0;
    s.eventsStored = 0;
    s.eventCounter = 0;
  }

  void moduleReset() {
    ++s.moduleResets;
    clearBuffer();
    answers.clear();
    dataExpected = 0;
    s.triggerMatching = false;
    s.windowWidth = 0x14;
    s.windowOffset = 0xFFD8;
    s.extraMargin = 0x08;
    s.rejectMargin = 0x04;
    s.triggerSubtraction = 0;
    s.edgeDetection = 2;
    s.resolution = 3;
    s.maxHits = 9;
    s.chipHeaders = true;
    s.channelEnable = 0xFFFFFFFFu;
  }

  // ---- CAMAC ----------------------------------------------------------

  int camac(bool write, std::uint32_t address, std::uint16_t* data) {
    const unsigned c = (address >> 16) & 7, n = (address >> 11) & 31, a = (address >> 7) & 15,
                   f = (address >> 2) & 31;
    std::uint16_t value = write ? *data : 0;
    if (c == 0 && n == 29 && a == 0) {
      if (write && f == 9) s.branchRegister = value;
      if (!write) value = s.branchRegister;
    } else if (c == 1 && n == 28 && f == 26 && (a == 8 || a == 9)) {
      // Z initialises every module and sets the inhibit; C clears the modules.
      if (a == 8) {
        ++s.zCount;
        s.inhibit = true;
        s.pioRegister2 = 0;
      } else {
        ++s.cCount;
      }
      s.pioOutput = 0;
      updateVeto();
    } else if (c == 1 && n == 30 && (a == 9 || a == 10) && (f == 24 || f == 26)) {
      (a == 9 ? s.inhibit : s.demand) = (f == 26);
    } else if (c == 1 && n == 23 && a == 0) {
      switch (f) {
        case 0: value = s.pioOutput; break;
        case 9: s.pioOutput = 0; updateVeto(); break;
        case 16:
          if (write) {
            s.pioOutput = value;
            ++s.pioWrites;
            updateVeto();
          }
          break;
        case 17: if (write) s.pioRegister2 = value; break;
        default: break;
      }
    }
    if (!write) *data = value;
    return 0;
  }

  // ---- V1290 ----------------------------------------------------------

  void microWrite(std::uint16_t w) {
    s.microWrites.push_back(w);
    if (handshake == HandshakeMode::Normal && !answers.empty()) ++s.microProtocolErrors;
    if (dataExpected > 0) {
      --dataExpected;
      switch (opcode) {
        case 0x1000: s.windowWidth = w; break;
        case 0x1100: s.windowOffset = w; break;
        case 0x1200: s.extraMargin = w; break;
        case 0x1300: s.rejectMargin = w; break;
        case 0x2200: s.edgeDetection = w & 3; break;
        case 0x2400: s.resolution = w & 3; break;
        case 0x3300: s.maxHits = w & 0xF; break;
        case 0x4400:
          if (dataExpected == 1) patternLow = w;
          else s.channelEnable = patternLow | (std::uint32_t{w} << 16);
          break;
        default: break;
      }
      return;
    }
    opcode = w;
    const std::uint16_t group = w & 0xFF00;
    switch (group) {
      case 0x0000: s.triggerMatching = true; break;
      case 0x0100: s.triggerMatching = false; break;
      case 0x0200: answers.push_back(s.triggerMatching ? 1 : 0); break;
      case 0x1000: case 0x1100: case 0x1200: case 0x1300:
      case 0x2200: case 0x2400: case 0x3300:
        opcode = group;
        dataExpected = 1;
        break;
      case 0x1400: s.triggerSubtraction = 1; break;
      case 0x1500: s.triggerSubtraction = 0; break;
      case 0x1600:
        for (auto v : {s.windowWidth, s.windowOffset, s.extraMargin, s.rejectMargin,
                       s.triggerSubtraction})
          answers.push_back(v);
        break;
      case 0x2300: answers.push_back(s.edgeDetection); break;
      case 0x2600: answers.push_back(s.resolution); break;
      case 0x3000: s.chipHeaders = true; break;
      case 0x3100: s.chipHeaders = false; break;
      case 0x3200: answers.push_back(s.chipHeaders ? 1 : 0); break;
      case 0x3400: answers.push_back(s.maxHits); break;
      case 0x4000: s.channelEnable |= 1u << (w & 31); break;
      case 0x4100: s.channelEnable &= ~(1u << (w & 31)); break;
      case 0x4200: s.channelEnable = 0xFFFFFFFFu; break;
      case 0x4300: s.channelEnable = 0; break;
      case 0x4400: opcode = group; dataExpected = 2; break;
      case 0x4500:
        answers.push_back(static_cast<std::uint16_t>(s.channelEnable & 0xFFFF));
        answers.push_back(static_cast<std::uint16_t>(s.channelEnable >> 16));
        break;
      default: break;
    }
  }

  std::uint16_t microRead() {
    if (answers.empty()) {
      ++s.microProtocolErrors;
      return 0;
    }
    std::uint16_t w = answers.front();
    answers.pop_front();
    return w;
  }

  std::uint16_t handshakeRegister() {
    ++s.handshakeReads;
    switch (handshake) {
      case HandshakeMode::NeverReady: return 0;
      case HandshakeMode::AlwaysReady: return 3;
      case HandshakeMode::Normal: break;
    }
    return answers.empty() ? 1 : 2;
  }

  bool wantEdge(bool trailing) const {
    switch (s.edgeDetection) {
      case 1: return trailing;
      case 2: return !trailing;
      default: return true;  // pair and both edges
    }
  }

  void storeEvent(const TriggerRecord& r) {
    const std::uint32_t ev = ++s.eventCounter;
    std::size_t start = words.size();
    words.push_back(0x40000000u | ((ev & 0x3FFFFFu) << 5));
    for (unsigned chip = 0; chip < 4; ++chip) {
      const std::size_t chipStart = words.size();
      if (s.chipHeaders)
        words.push_back(0x08000000u | (chip << 24) | ((ev & 0xFFFu) << 12) | (ev * 7 & 0xFFFu));
      for (std::uint32_t i = 0; i < r.nhits; ++i) {
        const auto& h = r.hits[i];
        if (h.channel / 8 != chip || !(s.channelEnable >> h.channel & 1) || !wantEdge(h.trailing))
          continue;
        words.push_back((h.trailing ? 1u << 26 : 0u) | (std::uint32_t{h.channel} << 21) |
                        (h.value & 0x1FFFFFu));
      }
      if (s.chipHeaders) {
        const auto n = static_cast<std::uint32_t>(words.size() - chipStart + 1);
        words.push_back(0x18000000u | (chip << 24) | ((ev & 0xFFFu) << 12) | (n & 0xFFFu));
      }
    }
    if (!noGlobalTrailer) {
      const auto n = static_cast<std::uint32_t>(words.size() - start + 1);
      words.push_back(0x80000000u | ((n & 0xFFFFu) << 5));
    }
    eventWords.push_back(words.size() - start);
    ++s.eventsStored;
    // A full buffer loses the oldest events rather than growing.
    while (words.size() > kBufferWordLimit && !eventWords.empty()) {
      const std::size_t drop = eventWords.front() - headWordsRead;
      words.erase(words.begin(), words.begin() + static_cast<std::ptrdiff_t>(drop));
      eventWords.pop_front();
      headWordsRead = 0;
      --s.eventsStored;
    }
  }

  // Triggers that reached the module after its last status read (they
  // fired before the veto was set) are in its buffer and its counter too.
  void takePending() {
    while (auto r = shared_trigger_source().takeTdcEvent()) storeEvent(*r);
  }

  std::uint16_t status() {
    if (!statusNeverReady) {
      // Every trigger already fired reaches the module in firing order.
      bool took = false;
      while (auto r = shared_trigger_source().takeTdcEvent()) {
        storeEvent(*r);
        took = true;
      }
      if (took && extraTriggerEvery > 0 && ++readyCount % extraTriggerEvery == 0)
        if (auto second = shared_trigger_source().fireTdcNow()) storeEvent(*second);
    } else {
      return s.triggerMatching ? 0x0008 : 0;
    }
    return static_cast<std::uint16_t>((s.eventsStored > 0 ? 1 : 0) |
                                      (s.triggerMatching ? 0x0008 : 0));
  }

  std::uint32_t outputWord() {
    if (words.empty()) return kFiller;
    const std::uint32_t w = words.front();
    words.pop_front();
    if (!eventWords.empty() && ++headWordsRead >= eventWords.front()) {
      eventWords.pop_front();
      headWordsRead = 0;
      if (s.eventsStored > 0) --s.eventsStored;
    }
    return w;
  }

  int tdc(bool write, std::uint32_t offset, unsigned width, std::uint32_t* data) {
    if (offset < 0x1000) {
      if (write || width != 4) return fail_status();
      *data = outputWord();
      return 0;
    }
    if (width != 2 && !(offset == 0x101C && width == 4)) return fail_status();
    switch (offset) {
      case 0x1002: if (!write) *data = status(); return 0;
      case 0x1014: if (write) moduleReset(); return 0;
      case 0x1016: if (write) { ++s.softwareClears; clearBuffer(); } return 0;
      case 0x1018: if (write) { ++s.eventResets; s.eventCounter = 0; } return 0;
      case 0x101C: if (!write) { takePending(); *data = s.eventCounter; } return 0;
      case 0x1020: if (!write) { takePending(); *data = s.eventsStored; } return 0;
      case 0x102E:
        if (write) microWrite(static_cast<std::uint16_t>(*data));
        else *data = microRead();
        return 0;
      case 0x1030: if (!write) *data = handshakeRegister(); return 0;
      default:
        if (!write) *data = 0;
        return 0;
    }
  }

  // ---- bus ------------------------------------------------------------

  int cycle(int handle, bool write, std::uint32_t address, unsigned width, std::uint32_t* data) {
    auto it = sessions.find(handle);
    if (it == sessions.end()) return fail_status();
    if (failingAddresses.count(address)) return fail_status();
    const unsigned char am = it->second;
    int st;
    if ((address & 0xFFFF0000u) == kTdcBase) {
      st = tdc(write, address - kTdcBase, width, data);
    } else if (am == 0x39 && address >= 0x800000 && address < 0x900000 && (address & 3) == 2 &&
               width == 2) {
      std::uint16_t w = static_cast<std::uint16_t>(*data);
      st = camac(write, address, &w);
      *data = w;
    } else {
      st = fail_status();  // nothing answers there
    }
    if (st == 0) {
      if (log.size() >= kCycleLogLimit) log.pop_front();
      log.push_back({write, am, static_cast<unsigned char>(width), address, *data});
    }
    return st;
  }

  int transfer(int handle, bool write, std::uint32_t address, unsigned char width,
               std::uint32_t count, void* buffer) {
    if (failingOps.count(write ? DriverOp::Write : DriverOp::Read)) return fail_status();
    if (width != 1 && width != 2 && width != 4) return fail_status();
    if (count > 0 && buffer == nullptr) return fail_status();
    auto* bytes = static_cast<unsigned char*>(buffer);
    for (std::uint32_t i = 0; i < count; ++i) {
      std::uint32_t value = 0;
      unsigned char* elem = bytes + std::size_t{i} * width;
      if (write) std::memcpy(&value, elem, width);
      // The output buffer is a FIFO: a block read stays on it.
      const std::uint32_t at =
          ((address & 0xFFFF0000u) == kTdcBase && (address & 0xFFFF) < 0x1000)
              ? address
              : address + i * width;
      if (int st = cycle(handle, write, at, width, &value); st != 0) return st;
      if (!write) std::memcpy(elem, &value, width);
    }
    return 0;
  }
};

Crate& crate() {
  static Crate* c = [] {
    auto* p = new Crate;  // outlives every static user at exit
    p->powerOn();
    return p;
  }();
  return *c;
}

}  // namespace

void simcrate_reset() {
  auto& c = crate();
  std::lock_guard lock(c.mu);
  c.powerOn();
}

SimCrateState simcrate_state() {
  auto& c = crate();
  std::lock_guard lock(c.mu);
  SimCrateState st = c.s;
  st.openSessions = static_cast<int>(c.sessions.size());
  st.wordsPending = c.words.size();
  return st;
}

std::vector<SimCycle> simcrate_cycles() {
  auto& c = crate();
  std::lock_guard lock(c.mu);
  return {c.log.begin(), c.log.end()};
}

void simcrate_clear_cycles() {
  auto& c = crate();
  std::lock_guard lock(c.mu);
  c.log.clear();
}

void simcrate_fail_op(DriverOp op, bool fail) {
  auto& c = crate();
  std::lock_guard lock(c.mu);
  if (fail) c.failingOps.insert(op);
  else c.failingOps.erase(op);
}

void simcrate_fail_address(std::uint32_t address, bool fail) {
  auto& c = crate();
  std::lock_guard lock(c.mu);
  if (fail) c.failingAddresses.insert(address);
  else c.failingAddresses.erase(address);
}

void simcrate_status_never_ready(bool on) {
  auto& c = crate();
  std::lock_guard lock(c.mu);
  c.statusNeverReady = on;
}

void simcrate_set_handshake(HandshakeMode mode) {
  auto& c = crate();
  std::lock_guard lock(c.mu);
  c.handshake = mode;
}

void simcrate_extra_trigger_every(unsigned k) {
  auto& c = crate();
  std::lock_guard lock(c.mu);
  c.extraTriggerEvery = k;
  c.readyCount = 0;
}

void simcrate_suppress_global_trailer(bool on) {
  auto& c = crate();
  std::lock_guard lock(c.mu);
  c.noGlobalTrailer = on;
}

int simcrate_VMEinit(const char* device_name, unsigned short module_number,
                     unsigned char address_modifier, int* handle) {
  auto& c = crate();
  std::lock_guard lock(c.mu);
  if (c.failingOps.count(DriverOp::Init) || device_name == nullptr || handle == nullptr ||
      module_number != 1)
    return fail_status();
  const int h = c.nextHandle++;
  c.sessions[h] = address_modifier;
  *handle = h;
  return 0;
}

int simcrate_VMEread(int handle, std::uint32_t address, unsigned char width, std::uint32_t count,
                     void* buffer) {
  auto& c = crate();
  std::lock_guard lock(c.mu);
  return c.transfer(handle, false, address, width, count, buffer);
}

int simcrate_VMEwrite(int handle, std::uint32_t address, unsigned char width, std::uint32_t count,
                      void* buffer) {
  auto& c = crate();
  std::lock_guard lock(c.mu);
  return c.transfer(handle, true, address, width, count, buffer);
}

int simcrate_VMEreset(int handle) {
  auto& c = crate();
  std::lock_guard lock(c.mu);
  if (c.failingOps.count(DriverOp::Reset) || !c.sessions.count(handle)) return fail_status();
  return 0;
}

int simcrate_VMEclose(int handle) {
  auto& c = crate();
  std::lock_guard lock(c.mu);
  if (c.failingOps.count(DriverOp::Close)) return fail_status();
  return c.sessions.erase(handle) == 1 ? 0 : fail_status();
}

}  // namespace mdq::sim
