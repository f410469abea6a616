// Generates realistic members lists for the benchmark, deterministically from
// a seed: CR LF line ends, a few very large mail providers plus a long
// Zipf-distributed tail of domains, mixed letter case, about 2% duplicates
// that differ only in letter case, a few blank and blank-padded lines, and a
// closed-list head (errors-to line, moderators, CLOSED). It can also write a
// matching exclude list, an include list and an LF-only copy of the members
// for the `sort` baseline, plus a file of expected line counts.
//
// Build: g++ -O2 -std=c++20 -o gen_list gen_list.cc
// Usage: gen_list --count N [options]   (gen_list --help lists them)
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

// xoshiro256** seeded through splitmix64: the same numbers with every
// compiler and standard library, unlike the std:: distributions.
class Random {
 public:
  explicit Random(uint64_t seed) {
    for (uint64_t& word : state_) {
      seed += 0x9e3779b97f4a7c15ull;
      uint64_t z = seed;
      z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
      z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
      word = z ^ (z >> 31);
    }
  }
  uint64_t Next() {
    uint64_t result = Rotl(state_[1] * 5, 7) * 9;
    uint64_t t = state_[1] << 17;
    state_[2] ^= state_[0];
    state_[3] ^= state_[1];
    state_[1] ^= state_[2];
    state_[0] ^= state_[3];
    state_[2] ^= t;
    state_[3] = Rotl(state_[3], 45);
    return result;
  }
  // Uniform in [0, n).
  uint64_t Below(uint64_t n) {
    return static_cast<uint64_t>((static_cast<unsigned __int128>(Next()) * n) >> 64);
  }
  double Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }
  bool Chance(double p) { return Unit() < p; }

 private:
  static uint64_t Rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  uint64_t state_[4];
};

// Two-letter syllables: names built from them decode uniquely.
constexpr const char* kSyllables[64] = {
    "ka", "ri", "mo", "le", "na", "to", "si", "be", "da", "ve", "lu", "ro", "mi", "ta", "no", "sa",
    "re", "li", "ga", "fe", "ho", "ju", "pa", "ne", "ko", "ma", "di", "ze", "bo", "te", "ru", "vi",
    "la", "me", "so", "ki", "du", "po", "fa", "gi", "he", "jo", "ba", "wi", "ya", "ce", "nu", "ra",
    "se", "mu", "lo", "ti", "de", "va", "ku", "pe", "ha", "go", "bi", "fo", "wa", "xo", "xa", "qu"};
constexpr const char* kTopLevel[16] = {"com", "net", "org",  "de",  "co.uk", "fr", "nl", "edu",
                                       "it",  "es",  "info", "biz", "se",    "at", "ch", "us"};
// The very large providers and their shares among the addresses.
constexpr const char* kProviders[8] = {"bigmail.example",  "inbox.example.net",   "postbox.example",
                                       "webpost.example",  "mailhub.example.org", "netpost.example",
                                       "homemail.example", "telepost.example.com"};
constexpr double kProviderShares[8] = {0.16, 0.08, 0.05, 0.04, 0.03, 0.02, 0.015, 0.01};

std::string SyllableName(Random& random, int minSyllables, int maxSyllables) {
  int count = minSyllables + static_cast<int>(random.Below(maxSyllables - minSyllables + 1));
  std::string name;
  for (int i = 0; i < count; ++i) name += kSyllables[random.Below(64)];
  return name;
}

// Tail domain number `index` (below 2^22) as a unique name.
std::string TailDomain(uint64_t index) {
  uint64_t x = (index * 0x9E3779B1ull) & ((1u << 22) - 1);
  std::string name = kSyllables[x % 64];
  x /= 64;
  name += kSyllables[x % 64];
  x /= 64;
  const char* top = kTopLevel[x % 16];
  x /= 16;
  if (x > 0) name += kSyllables[x - 1];  // 0..63: a third syllable or none
  if ((index % 7) == 3) name = "mail." + name;
  return name + "." + top;
}

// A set of 64-bit hashes of folded addresses (open addressing, 0 = free).
class HashSet {
 public:
  explicit HashSet(size_t expected) {
    size_t capacity = 1024;
    while (capacity < expected * 2) capacity <<= 1;
    slots_.assign(capacity, 0);
  }
  // False when the hash was already there.
  bool Insert(uint64_t hash) {
    if (hash == 0) hash = 1;
    size_t mask = slots_.size() - 1;
    for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
      if (slots_[slot] == hash) return false;
      if (slots_[slot] == 0) {
        slots_[slot] = hash;
        return true;
      }
    }
  }

 private:
  std::vector<uint64_t> slots_;
};

uint64_t FoldedHash(std::string_view text) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (unsigned char c : text) {
    if (c >= 'a' && c <= 'z') c -= 32;
    hash = (hash ^ c) * 0x100000001b3ull;
  }
  hash ^= hash >> 31;
  hash *= 0x9e3779b97f4a7c15ull;
  return hash ^ (hash >> 29);
}

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }
char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }
bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

class AddressMaker {
 public:
  AddressMaker(Random& random, uint64_t tailDomains, double tailExponent)
      : random_(random), tailCumulative_(tailDomains), domainSeen_(tailDomains + 8, 0) {
    double sum = 0;
    for (uint64_t i = 0; i < tailDomains; ++i) {
      sum += 1.0 / std::pow(static_cast<double>(i + 1), tailExponent);
      tailCumulative_[i] = sum;
    }
    for (double& c : tailCumulative_) c /= sum;
    for (double share : kProviderShares) providerTotal_ += share;
  }

  // A new address in its base letter case (mostly lower case).
  std::string Make() {
    std::string local = LocalPart();
    std::string domain = Domain();
    // The base spelling: most in lower case, some capitalised by people.
    double r = random_.Unit();
    if (r < 0.10) {
      local[0] = Upper(local[0]);
      size_t dot = local.find_first_of("._");
      if (dot != std::string::npos && dot + 1 < local.size())
        local[dot + 1] = Upper(local[dot + 1]);
    } else if (r < 0.15) {
      for (char& c : domain) c = Upper(c);
    } else if (r < 0.18) {
      domain[0] = Upper(domain[0]);
    } else if (r < 0.21) {
      for (char& c : local) c = Upper(c);
      for (char& c : domain) c = Upper(c);
    }
    return local + "@" + domain;
  }

  uint64_t DistinctDomains() const {
    return static_cast<uint64_t>(std::count(domainSeen_.begin(), domainSeen_.end(), 1));
  }

 private:
  std::string LocalPart() {
    std::string first = SyllableName(random_, 2, 3);
    std::string last = SyllableName(random_, 2, 4);
    std::string local;
    double r = random_.Unit();
    if (r < 0.35) {
      local = first + "." + last;
    } else if (r < 0.45) {
      local = first + "_" + last;
    } else if (r < 0.55) {
      local = first + last;
    } else if (r < 0.80) {
      local = first;
    } else {
      local = first.substr(0, 1) + "." + last;
    }
    // Digits people add: none, a year, a lucky number.
    double d = random_.Unit();
    int digits = d < 0.45 ? 0 : d < 0.70 ? 2 : d < 0.85 ? 1 : d < 0.95 ? 4 : 3;
    for (int i = 0; i < digits; ++i) local += static_cast<char>('0' + random_.Below(10));
    return local;
  }

  std::string Domain() {
    double r = random_.Unit();
    if (r < providerTotal_) {
      double acc = 0;
      for (int p = 0; p < 8; ++p) {
        acc += kProviderShares[p];
        if (r < acc) {
          domainSeen_[p] = 1;
          return kProviders[p];
        }
      }
    }
    double u = random_.Unit();
    uint64_t index =
        static_cast<uint64_t>(std::lower_bound(tailCumulative_.begin(), tailCumulative_.end(), u) -
                              tailCumulative_.begin());
    if (index >= tailCumulative_.size()) index = tailCumulative_.size() - 1;
    domainSeen_[8 + index] = 1;
    return TailDomain(index);
  }

  Random& random_;
  std::vector<double> tailCumulative_;
  std::vector<uint8_t> domainSeen_;
  double providerTotal_ = 0;
};

// Another letter case of the same address: always differs in at least one
// byte, and keeps equal under case folding.
std::string CaseVariant(Random& random, const std::string& address) {
  std::string variant = address;
  double r = random.Unit();
  if (r < 0.25) {
    for (char& c : variant) c = Upper(c);
  } else if (r < 0.40) {
    for (char& c : variant) c = Lower(c);
  }
  if (variant == address) {
    // Flip one to three letters.
    std::vector<size_t> letters;
    for (size_t i = 0; i < variant.size(); ++i) {
      if (IsLetter(variant[i])) letters.push_back(i);
    }
    int flips = 1 + static_cast<int>(random.Below(3));
    for (int f = 0; f < flips; ++f) {
      size_t i = letters[random.Below(letters.size())];
      variant[i] = variant[i] == Upper(variant[i]) ? Lower(variant[i]) : Upper(variant[i]);
    }
    if (variant == address) {
      size_t i = letters[0];
      variant[i] = variant[i] == Upper(variant[i]) ? Lower(variant[i]) : Upper(variant[i]);
    }
  }
  return variant;
}

int FoldedCompare(std::string_view a, std::string_view b) {
  size_t common = std::min(a.size(), b.size());
  for (size_t i = 0; i < common; ++i) {
    unsigned char x = static_cast<unsigned char>(Upper(a[i]));
    unsigned char y = static_cast<unsigned char>(Upper(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
}

// Lines kept in one block of bytes.
class Lines {
 public:
  void Add(std::string_view line) {
    refs_.push_back({bytes_.size(), static_cast<uint32_t>(line.size())});
    bytes_.append(line);
  }
  size_t size() const { return refs_.size(); }
  std::string_view operator[](size_t i) const {
    return std::string_view(bytes_).substr(refs_[i].offset, refs_[i].length);
  }
  void Reserve(size_t lines, size_t bytes) {
    refs_.reserve(lines);
    bytes_.reserve(bytes);
  }

 private:
  struct Ref {
    uint64_t offset;
    uint32_t length;
  };
  std::string bytes_;
  std::vector<Ref> refs_;
};

class Output {
 public:
  explicit Output(const std::string& path) : path_(path), file_(std::fopen(path.c_str(), "wb")) {
    if (!file_) Die("cannot create " + path);
    std::setvbuf(file_, nullptr, _IOFBF, 1 << 20);
  }
  ~Output() {
    if (std::fclose(file_) != 0) Die("cannot write " + path_);
  }
  void Line(std::string_view text, const char* end) {
    if (std::fwrite(text.data(), 1, text.size(), file_) != text.size() ||
        std::fputs(end, file_) < 0) {
      Die("cannot write " + path_);
    }
  }
  [[noreturn]] static void Die(const std::string& message) {
    std::fprintf(stderr, "gen_list: %s\n", message.c_str());
    std::exit(1);
  }

 private:
  std::string path_;
  FILE* file_;
};

template <typename T>
void Shuffle(Random& random, std::vector<T>& items) {
  for (size_t i = items.size(); i > 1; --i) std::swap(items[i - 1], items[random.Below(i)]);
}

struct Options {
  uint64_t count = 0;
  uint64_t seed = 20081031;
  bool sorted = false;
  bool upDown = false;
  double newFraction = 0.01;
  double duplicateFraction = 0.02;
  std::string list, closedList, lf, exclude, include, stats;
  uint64_t moderators = 1, closedModerators = 1000;
  uint64_t excludeCount = 1000000, includeCount = 1000000;
  uint64_t tailDomains = 0;  // 0: chosen from the count
  double tailExponent = 0.95;
};

void Usage() {
  std::puts(
      "gen_list --count N [--seed S] [--order shuffled|sorted] [--new-fraction F]\n"
      "         [--list PATH] [--moderators K]            closed list, K moderators (1)\n"
      "         [--closed-list PATH] [--closed-moderators K]  same members, K moderators (1000)\n"
      "         [--lf PATH]                               the member lines with LF ends\n"
      "         [--exclude PATH] [--exclude-count M]      exclude list (1,000,000 entries)\n"
      "         [--include PATH] [--include-count M]      include list (1,000,000 entries)\n"
      "         [--stats PATH]                            expected line counts, key=value\n"
      "         [--tail-domains D] [--tail-exponent S]\n"
      "--order sorted: the members sorted without regard to case, then a fraction\n"
      "(--new-fraction, default 0.01) of them, new, appended in random order.\n"
      "--order updown: every member line twice: all of them sorted without regard\n"
      "to case, then all of them again in the reverse order, each address in\n"
      "another letter case (a sorted list merged with a reverse-sorted copy).");
}

Options ParseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Output::Die("missing value after " + arg);
      return argv[++i];
    };
    auto number = [&]() { return std::strtoull(value().c_str(), nullptr, 10); };
    if (arg == "--count")
      o.count = number();
    else if (arg == "--seed")
      o.seed = number();
    else if (arg == "--order") {
      std::string v = value();
      if (v != "sorted" && v != "shuffled" && v != "updown") {
        Output::Die("--order takes sorted, shuffled or updown");
      }
      o.sorted = v == "sorted" || v == "updown";
      o.upDown = v == "updown";
    } else if (arg == "--new-fraction")
      o.newFraction = std::atof(value().c_str());
    else if (arg == "--list")
      o.list = value();
    else if (arg == "--moderators")
      o.moderators = number();
    else if (arg == "--closed-list")
      o.closedList = value();
    else if (arg == "--closed-moderators")
      o.closedModerators = number();
    else if (arg == "--lf")
      o.lf = value();
    else if (arg == "--exclude")
      o.exclude = value();
    else if (arg == "--exclude-count")
      o.excludeCount = number();
    else if (arg == "--include")
      o.include = value();
    else if (arg == "--include-count")
      o.includeCount = number();
    else if (arg == "--stats")
      o.stats = value();
    else if (arg == "--tail-domains")
      o.tailDomains = number();
    else if (arg == "--tail-exponent")
      o.tailExponent = std::atof(value().c_str());
    else if (arg == "--help" || arg == "-h") {
      Usage();
      std::exit(0);
    } else {
      Output::Die("unknown option " + arg + " (see --help)");
    }
  }
  if (o.count < 10) Output::Die("--count must be at least 10");
  if (o.tailDomains == 0) o.tailDomains = std::clamp<uint64_t>(o.count / 18, 5000, (1u << 22) - 1);
  if (o.tailDomains >= (1u << 22)) Output::Die("--tail-domains must be below 4194304");
  return o;
}

void WriteList(const std::string& path, const std::vector<std::string>& moderators, uint64_t count,
               const Lines& members) {
  Output out(path);
  out.Line("+ERRORS-TO:=owner@example.com", "\r\n");
  for (uint64_t m = 0; m < count; ++m) out.Line(moderators[m], "\r\n");
  out.Line("CLOSED", "\r\n");
  for (size_t i = 0; i < members.size(); ++i) out.Line(members[i], "\r\n");
}

}  // namespace

int main(int argc, char** argv) {
  Options o = ParseOptions(argc, argv);
  Random random(o.seed);
  uint64_t extra =
      (o.exclude.empty() ? 0 : o.excludeCount) + (o.include.empty() ? 0 : o.includeCount);
  HashSet seen(o.count + extra + o.closedModerators + 16);
  AddressMaker maker(random, o.tailDomains, o.tailExponent);
  auto fresh = [&]() {
    for (;;) {
      std::string address = maker.Make();
      if (seen.Insert(FoldedHash(address))) return address;
    }
  };

  // The distinct addresses, then case variants of some of them.
  const uint64_t duplicates = static_cast<uint64_t>(std::llround(o.count * o.duplicateFraction));
  const uint64_t bases = o.count - duplicates;
  Lines addresses;
  addresses.Reserve(o.count, o.count * 26);
  for (uint64_t i = 0; i < bases; ++i) addresses.Add(fresh());
  for (uint64_t i = 0; i < duplicates; ++i) {
    std::string base(addresses[random.Below(bases)]);
    addresses.Add(CaseVariant(random, base));
  }
  const uint64_t distinctDomains = maker.DistinctDomains();

  // The member lines: the addresses, some of them padded with blanks, and a
  // few blank lines.
  const uint64_t padded = 3 + o.count / 100000;
  const uint64_t blankLines = 2 * (3 + o.count / 200000);
  std::vector<uint64_t> order(o.count + blankLines);
  for (uint64_t i = 0; i < order.size(); ++i) order[i] = i;  // >= count: a blank line
  std::vector<uint8_t> padding(o.count, 0);
  for (uint64_t p = 0; p < padded; ++p) padding[random.Below(bases)] = 1 + random.Below(3);
  auto lineText = [&](uint64_t i) -> std::string {
    if (i >= o.count) return (i - o.count) % 2 == 0 ? std::string() : std::string(1 + i % 4, ' ');
    std::string text(addresses[i]);
    switch (padding[i]) {
      case 1:
        return "  " + text;
      case 2:
        return text + "   ";
      case 3:
        return " " + text + " ";
      default:
        return text;
    }
  };
  Shuffle(random, order);
  if (o.sorted) {
    // The first (1 - newFraction) of the shuffled lines, sorted as a keeper's
    // last run left them; the rest are the new ones at the end.
    size_t old = order.size();
    if (!o.upDown) old -= static_cast<size_t>(std::llround(order.size() * o.newFraction));
    std::vector<uint64_t> oldOrder(order.begin(), order.begin() + old);
    std::sort(oldOrder.begin(), oldOrder.end(), [&](uint64_t a, uint64_t b) {
      std::string_view x = a < o.count ? addresses[a] : std::string_view();
      std::string_view y = b < o.count ? addresses[b] : std::string_view();
      int c = FoldedCompare(x, y);
      return c != 0 ? c < 0 : a < b;
    });
    std::copy(oldOrder.begin(), oldOrder.end(), order.begin());
  }
  Lines members;
  members.Reserve(order.size(), o.count * 26);
  for (uint64_t i : order) members.Add(lineText(i));
  if (o.upDown) {
    for (size_t k = order.size(); k-- > 0;) {
      uint64_t i = order[k];
      std::string text = lineText(i);
      members.Add(i < o.count ? CaseVariant(random, text) : text);
    }
  }
  std::vector<uint64_t>().swap(order);

  std::vector<std::string> moderators;
  uint64_t moderatorCount =
      std::max(o.list.empty() ? 0 : o.moderators, o.closedList.empty() ? 0 : o.closedModerators);
  for (uint64_t m = 0; m < moderatorCount; ++m) moderators.push_back(fresh());
  if (!o.list.empty()) WriteList(o.list, moderators, o.moderators, members);
  if (!o.closedList.empty()) WriteList(o.closedList, moderators, o.closedModerators, members);
  if (!o.lf.empty()) {
    Output out(o.lf);
    for (size_t i = 0; i < members.size(); ++i) out.Line(members[i], "\n");
  }

  // Exclude list: a fifth of the entries name members (in another letter
  // case), the rest name nobody on the list.
  uint64_t excludeHits = 0;
  if (!o.exclude.empty()) {
    excludeHits = std::min(o.excludeCount / 5, bases / 5);
    std::vector<uint64_t> pick(bases);
    for (uint64_t i = 0; i < bases; ++i) pick[i] = i;
    for (uint64_t i = 0; i < excludeHits; ++i)
      std::swap(pick[i], pick[i + random.Below(bases - i)]);
    std::vector<std::string> entries;
    entries.reserve(o.excludeCount);
    for (uint64_t i = 0; i < excludeHits; ++i) {
      entries.push_back(CaseVariant(random, std::string(addresses[pick[i]])));
    }
    while (entries.size() < o.excludeCount) entries.push_back(fresh());
    Shuffle(random, entries);
    for (uint64_t p = 0; p < 3 + o.excludeCount / 100000; ++p) {
      std::string& e = entries[random.Below(entries.size())];
      if (!e.empty() && e.front() != ' ' && e.back() != ' ') e = " " + e + "  ";
    }
    Output out(o.exclude);
    for (const std::string& e : entries) out.Line(e, "\r\n");
  }

  // Include list: new subscribers, a tenth of them already members (in
  // another letter case).
  uint64_t includeNew = 0;
  if (!o.include.empty()) {
    uint64_t again = std::min(o.includeCount / 10, bases);
    std::vector<std::string> entries;
    entries.reserve(o.includeCount);
    std::vector<uint64_t> pick(bases);
    for (uint64_t i = 0; i < bases; ++i) pick[i] = i;
    for (uint64_t i = 0; i < again; ++i) std::swap(pick[i], pick[i + random.Below(bases - i)]);
    for (uint64_t i = 0; i < again; ++i) {
      entries.push_back(CaseVariant(random, std::string(addresses[pick[i]])));
    }
    while (entries.size() < o.includeCount) {
      entries.push_back(fresh());
      ++includeNew;
    }
    Shuffle(random, entries);
    Output out(o.include);
    for (const std::string& e : entries) out.Line(e, "\r\n");
  }

  if (!o.stats.empty()) {
    // Expected lines of each rewritten list: blank lines go; with /ND every
    // case variant of an address goes but one.
    const uint64_t head = 2 + o.moderators, closedHead = 2 + o.closedModerators;
    FILE* f = std::fopen(o.stats.c_str(), "w");
    if (!f) Output::Die("cannot create " + o.stats);
    std::fprintf(f, "addresses=%" PRIu64 "\n", o.count);
    std::fprintf(f, "distinct_addresses=%" PRIu64 "\n", bases);
    std::fprintf(f, "case_duplicates=%" PRIu64 "\n", duplicates);
    std::fprintf(f, "blank_lines=%" PRIu64 "\n", blankLines);
    std::fprintf(f, "padded_addresses=%" PRIu64 "\n", padded);
    std::fprintf(f, "distinct_domains=%" PRIu64 "\n", distinctDomains);
    std::fprintf(f, "head_lines=%" PRIu64 "\n", head);
    std::fprintf(f, "closed_head_lines=%" PRIu64 "\n", closedHead);
    std::fprintf(f, "expect_sort=%" PRIu64 "\n", head + o.count * (o.upDown ? 2 : 1));
    std::fprintf(f, "expect_nd=%" PRIu64 "\n", head + bases);
    std::fprintf(f, "expect_exclude=%" PRIu64 "\n", head + bases - excludeHits);
    std::fprintf(f, "expect_include=%" PRIu64 "\n", head + bases + includeNew);
    std::fprintf(f, "expect_closed=%" PRIu64 "\n", closedHead + bases);
    std::fprintf(f, "exclude_entries=%" PRIu64 "\n", o.exclude.empty() ? 0 : o.excludeCount);
    std::fprintf(f, "exclude_hits=%" PRIu64 "\n", excludeHits);
    std::fprintf(f, "include_entries=%" PRIu64 "\n", o.include.empty() ? 0 : o.includeCount);
    std::fprintf(f, "include_new=%" PRIu64 "\n", includeNew);
    std::fclose(f);
  }
  return 0;
}
