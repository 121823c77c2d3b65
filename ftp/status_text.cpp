#include <array>
#include <utility>

#include "client.h"

namespace talven {
namespace {

constexpr std::array<std::pair<std::int32_t, std::string_view>, 39> kStatusTexts{{
    {110, "Restart Marker Reply"},
    {120, "Service available soon:"},
    {125, "Data Connection Open. Starting Transfer"},
    {150, "File ready. About to open data connection."},
    {200, "Success"},
    {202, "Command Not Implemented"},
    {211, "System Status"},
    {212, "Directory Status"},
    {213, "File Status"},
    {214, "Help Message"},
    {215, "System Type Name"},
    {220, "Service Ready"},
    {221, "Connection Closing. Operation Aborted"},
    {225, "Connection Open. No transfer in progress."},
    {226, "Transfer completed successfully."},
    {227, "Entering Passive Mode"},
    {230, "User Logged In"},
    {250, "Action Completed Successfully"},
    {257, "Directory Created Ok or Current Directory is Ok."},
    {331, "User Ok, but password needed."},
    {332, "Account needed"},
    {350, "Action Pending Further Information"},
    {421, "Service Unavailable"},
    {425, "Data Connection Not Opened."},
    {426, "Data Connection Closed"},
    {450, "File unavailable"},
    {451, "Local Processing Error"},
    {452, "Not Enough Disk Space"},
    {500, "Command Not Recognized"},
    {501, "Syntax Error: Invalid parameters or arguments"},
    {502, "Not Implemented"},
    {503, "Bad Command Sequence"},
    {504, "Command Unavailable"},
    {530, "User Not Logged In"},
    {532, "Account Needed to Store Files"},
    {550, "Access Denied"},
    {551, "Page Type Unknown"},
    {552, "Storage Limit Exceeded"},
    {553, "Bad File Name"},
}};

}  // namespace

std::string ftpStatusText(std::int32_t code) {
    for (const auto& [rowCode, text] : kStatusTexts)
        if (rowCode == code) return std::string(text);
    return std::string();
}

}  // namespace talven
