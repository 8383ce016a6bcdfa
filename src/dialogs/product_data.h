// The publisher's data shown in the About box, per edition. Every value here
// is a placeholder until the product's real data is filled in; each one says
// so where it is shown.
#pragma once

#include <array>
#include <string_view>

#include "app/globals.h"

namespace quorvel {

struct PublisherData {
  std::string_view company;
  TextPair address;  // postal address, Polish and English form
  std::string_view phone;
  std::string_view web;
  std::string_view email;
};

// Indexed by Edition: 0 the maker (Quorvel), 1 the distributor (QuorvelKMB).
inline constexpr std::array<PublisherData, 2> kPublishers{{
    {"VARNELD (placeholder company name)",
     {"ul. Przykładowa 1, 00-000 Miejscowość (adres przykładowy)",
      "1 Example Street, 00-000 Town, Poland (placeholder address)"},
     "+48 00 000 00 00 (placeholder)",
     "https://www.example.com/varneld-placeholder",
     "placeholder@example.com"},
    {"KMB (placeholder distributor name)",
     // One form of the distributor's address serves both languages.
     {"Example Road 2, 00-000 Town (placeholder address)",
      "Example Road 2, 00-000 Town (placeholder address)"},
     "+48 00 000 00 01 (placeholder)",
     "https://www.example.org/kmb-placeholder",
     "placeholder@example.org"},
}};

inline const PublisherData& Publisher() {
  return kPublishers[Edition == 0 ? 0 : 1];
}

}  // namespace quorvel
