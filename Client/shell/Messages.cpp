#include "shell/Messages.h"

#include <cstdio>
#include <cstring>
#include <string_view>
#include <unordered_map>

extern const unsigned char kovrax_res_Error500[];
extern const std::size_t kovrax_res_Error500_size;
extern const unsigned char kovrax_res_Error404[];
extern const std::size_t kovrax_res_Error404_size;

namespace kovrax {
namespace {

struct Entry {
  int number;
  const char* text;
};

// Failures 1001-1062, progress 2001-2010, built-in defaults 3001-3018 (UTF-8).
constexpr Entry kTable[] = {
    {1001, "Ciljni računalnik zavrnil povezavo, ali pa ni dosegljiv"},
    {1002, "Proxy zavrnil povezavo, ali pa ni dosegljiv"},
    {1003, "Delovna nit prekinjena predčasno"},
    {1004, "Javni in zasebni ključ se ne ujemata"},
    {1005, "Kriptografski podatki o uporabniku niso znani"},
    {1006, "Napačen naslov strežnika"},
    {1007, "Napaka pri branju PKCS#7 zapisa"},
    {1008, "Napaka pri dodeljevanju pomnilnika"},
    {1009, "Napaka pri dostopu do hrambe korenskih digitalnih potrdil"},
    {1010, "Napaka pri dostopu do hrambe uporabnikovih digitalnih potrdil"},
    {1011, "Napaka pri dostopu do uporabnikovega digitalnega potrdila"},
    {1012, "Napaka pri dostopu do zasebnega ključa"},
    {1013, "Napaka pri izbiranju digitalnega potrdila"},
    {1014, "Napaka pri klicu funkcije %s()"},
    {1015, "Napaka pri podpisovanju podatkov"},
    {1016, "Napaka pri potrjevanju različice programa"},
    {1017, "Napaka pri pošiljanju različice programa"},
    {1018, "Napaka pri prenosu podatkov"},
    {1019, "Napaka pri preverjanju prejetega podpisa"},
    {1020, "Napaka pri sprejemanju PKCS#7 zapisa"},
    {1021, "Napaka pri usklajevanju parametrov povezave"},
    {1022, "Napačen naslov proxy strežnika"},
    {1023, "Napačen odgovor strežnika"},
    {1024, "Napačen port"},
    {1025, "Napačen čas (%s < %s < %s)"},
    {1026, "Napačna dolžina zahtevka"},
    {1027, "Napačna različica strežniškega programa"},
    {1028, "Ne morem dostopati do digitalnega potrdila"},
    {1029, "Ne morem prebrati digitalnega potrdila"},
    {1030, "Ne morem prebrati HTTP zaglavja"},
    {1031, "Ne morem prebrati podatkov"},
    {1032, "Ne morem prebrati strežnikovega digitalnega potrdila"},
    {1033, "Ne morem zagnati delovne niti"},
    {1034, "Ne najdem podpisnikovega digitalnega potrdila"},
    {1035, "Nič še ni bilo poslano"},
    {1036, "Napaka pri podpisovanju datoteke \"%s\""},
    {1037, "Podpisnik in sogovornik se ne ujemata"},
    {1038, "Pri ukazu \"RSG\" manjka ime datoteke"},
    {1039, "Pri ukazu \"SIG\" manjkajo podatki"},
    {1040, "Proxy zavrnil povezavo"},
    {1041, "Strežnik prekinil povezavo"},
    {1042, "Uporabnik ni avtoriziran za dostop do strežnika"},
    {1043, "Uporabnikovo digitalno potrdilo ni veljavno"},
    {1044, "Kritična napaka vrste \"%s\""},
    {1045, "Port %s je že v uporabi"},
    {1046, "Vsi dinamični porti so že v uporabi"},
    {1047, "SSL ni bil pravilno končan"},
    {1048, "Napačna oblika zahtevka"},
    {1049, "Strežnik ni poslal zahtevanih podatkov"},
    {1050, "Napačen profil"},
    {1051, "Strežnikovo potrdilo ni veljavno"},
    {1052, "Povratnica ni več na voljo"},
    {1053, "Napačen ukaz"},
    {1054, "Napačen URL"},
    {1055, "Glasovnice ni mogoče poslati na ta strežnik"},
    {1056, "OkURL in ErrURL morata kazati na strežnik Kovra"},
    {1057, "Samo HTTPS"},
    {1058, "Napačen parameter Server"},
    {1059, "Glasovnica vsebuje rezervirano polje Kovra-Streznik ali Kovra-Profil"},
    {1060, "Povratnica je starejša od glasovnice"},
    {1061, "Noben overitelj iz parametra CA ni dovoljen"},
    {1062, "Napačen naslov za preusmeritev"},
    {2001, "Čakam na zahtevek ..."},
    {2002, "Pošiljam podatke ..."},
    {2003, "Povezujem se na naslov %s ..."},
    {2004, "Uporabljam HTTPS proxy %s ..."},
    {2005, "Uporabljam SOCKS proxy %s ..."},
    {2006, "Povezan na naslov %s"},
    {2007, "Čakam na potrditev prenosa ..."},
    {2008, "Preverjam odgovor ..."},
    {2009, "Podatki uspešno prenešeni"},
    {2010, "Sprejemam \"%s\" ..."},
    {3001, "81"},
    {3005, "Kovra_V3.0"},
    {3008, "u3a4979b4,ub82071fa,ud3c6c554,s97df913d,scabd2a79"},
    {3010, "Kovra"},
    {3011, "TLSv12"},
    {3014, "30"},
    {3015, "3"},
    {3017, "1"},
    {3018, "Melsa, d.o.o."},
};

const std::unordered_map<int, std::string_view>& Table() {
  static const std::unordered_map<int, std::string_view> table = [] {
    std::unordered_map<int, std::string_view> t;
    for (const Entry& e : kTable) t.emplace(e.number, e.text);
    return t;
  }();
  return table;
}

std::string ArgText(const FmtArgs& args, size_t i) {
  if (i >= args.size()) return {};
  if (auto s = std::get_if<std::string>(&args[i])) return *s;
  return std::to_string(std::get<long long>(args[i]));
}

long long ArgInt(const FmtArgs& args, size_t i) {
  if (i >= args.size()) return 0;
  if (auto n = std::get_if<long long>(&args[i])) return *n;
  try {
    return std::stoll(std::get<std::string>(args[i]));
  } catch (...) {
    return 0;
  }
}

}  // namespace

std::string LoadStr(int number) {
  auto it = Table().find(number);
  return it == Table().end() ? std::string() : std::string(it->second);
}

std::string FmtLoadStr(int number, const FmtArgs& args) { return Format(LoadStr(number), args); }

std::string Format(const std::string& pattern, const FmtArgs& args) {
  std::string out;
  out.reserve(pattern.size() + 32);
  size_t arg = 0;
  for (size_t i = 0; i < pattern.size(); ++i) {
    char c = pattern[i];
    if (c != '%' || i + 1 >= pattern.size()) {
      out += c;
      continue;
    }
    size_t j = i + 1;
    if (pattern[j] == '%') {
      out += '%';
      i = j;
      continue;
    }
    bool left = false, zero = false;
    for (; j < pattern.size() && (pattern[j] == '-' || pattern[j] == '0'); ++j) {
      if (pattern[j] == '-') left = true; else zero = true;
    }
    size_t width = 0;
    for (; j < pattern.size() && pattern[j] >= '0' && pattern[j] <= '9'; ++j) width = width * 10 + (pattern[j] - '0');
    if (j >= pattern.size() || (pattern[j] != 's' && pattern[j] != 'd')) {
      out.append(pattern, i, j - i);  // not a conversion we know: keep it as written
      i = j - 1;
      continue;
    }
    std::string piece = pattern[j] == 's' ? ArgText(args, arg) : std::to_string(ArgInt(args, arg));
    ++arg;
    if (piece.size() < width) {
      std::string pad(width - piece.size(), (zero && !left && pattern[j] == 'd') ? '0' : ' ');
      piece = left ? piece + pad : pad + piece;
    }
    out += piece;
    i = j;
  }
  return out;
}

std::string LoadTextResource(const std::string& name) {
  if (name == "Error500")
    return std::string(reinterpret_cast<const char*>(kovrax_res_Error500), kovrax_res_Error500_size);
  if (name == "Error404")
    return std::string(reinterpret_cast<const char*>(kovrax_res_Error404), kovrax_res_Error404_size);
  return {};
}

}  // namespace kovrax
