#pragma once
// The first entries of the name-to-id map of a store Outlook writes, in the order
// Outlook numbers them (from 0x8000). A new store of ours starts with the same
// entries, so the named-property columns Outlook gives every mail folder's
// contents table (0x8010 to 0x801F) carry the same names here; the names the
// mail itself needs are numbered after them.
#include <array>
#include <cstddef>
#include <cstdint>

namespace tp::pst::messaging {

using Guid = std::array<std::uint8_t, 16>;

inline constexpr Guid kPsPublicStrings = {0x29, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                          0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
inline constexpr Guid kPsInternetHeaders = {0x86, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                            0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
inline constexpr Guid kPsetidAppointment = {0x02, 0x20, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00,
                                            0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
inline constexpr Guid kPsetidTask = {0x03, 0x20, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00,
                                     0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
inline constexpr Guid kPsetidCommon = {0x08, 0x20, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00,
                                       0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
inline constexpr Guid kPsetidLog = {0x14, 0x20, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00,
                                    0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

struct OutlookName {
    Guid guid;
    std::uint32_t lid;  // numeric name, when `name` is null
    const char* name;   // string name
};

inline constexpr OutlookName kOutlookNames[] = {
    {kPsetidAppointment, 0x8205, nullptr},  // 0x8000
    {kPsetidAppointment, 0x8223, nullptr},
    {kPsetidAppointment, 0x8231, nullptr},
    {kPsetidAppointment, 0x8216, nullptr},
    {kPsetidAppointment, 0x820D, nullptr},
    {kPsetidAppointment, 0x820E, nullptr},
    {kPsetidAppointment, 0x8235, nullptr},
    {kPsetidAppointment, 0x8236, nullptr},
    {kPsetidAppointment, 0x8233, nullptr},  // 0x8008
    {kPsInternetHeaders, 0, "content-class"},
    {kPsPublicStrings, 0, "DRMLicense"},
    {kPsInternetHeaders, 0, "x-cr-hashedpuzzle"},
    {kPsInternetHeaders, 0, "x-cr-puzzleid"},
    {kPsetidCommon, 0x8580, nullptr},
    {kPsetidCommon, 0x8581, nullptr},
    {kPsPublicStrings, 0, "urn:schemas-microsoft-com:office:outlook#storetypeprivate"},
    {kPsetidCommon, 0x8510, nullptr},  // 0x8010: PidLidSideEffects
    {kPsetidCommon, 0x8578, nullptr},
    {kPsPublicStrings, 0, "Keywords"},  // 0x8012: PidNameKeywords
    {kPsetidLog, 0x8F05, nullptr},
    {kPsetidCommon, 0x8514, nullptr},
    {kPsetidLog, 0x8F07, nullptr},
    {kPsetidCommon, 0x8503, nullptr},
    {kPsetidCommon, 0x85A8, nullptr},
    {kPsetidCommon, 0x8502, nullptr},
    {kPsetidTask, 0x8104, nullptr},
    {kPsetidTask, 0x8105, nullptr},
    {kPsetidTask, 0x811C, nullptr},
    {kPsInternetHeaders, 0, "x-ms-exchange-organization-authdomain"},
    {kPsetidCommon, 0x8570, nullptr},
    {kPsetidTask, 0x8101, nullptr},
    {kPsetidCommon, 0x8552, nullptr},  // 0x801F
};
inline constexpr std::size_t kOutlookNameCount = sizeof kOutlookNames / sizeof kOutlookNames[0];

}  // namespace tp::pst::messaging
