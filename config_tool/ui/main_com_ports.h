#pragma once
// The Com-port menu's port list, from the texts under hardware\devicemap\serialcomm.

#include <string>
#include <vector>

namespace platform {
class RegistryFile;
}

namespace ui {

// The session accepts ports 1 to 127; any other number would silently become COM1.
inline constexpr int kMaxComPort = 127;

// Port number of a registry text: "COM" (any case) followed by one or two decimal digits, in
// 1..kMaxComPort; anything else (COM, COMX, COM100, COM0) gives 0 and lists no item.
int ComPortNumber(const std::string& text);

// Ascending port numbers of the given texts; a number listed twice appears twice.
std::vector<int> ComPortNumbers(const std::vector<std::string>& texts);

// The texts of every value under serialcomm (none when the key is missing), in value order.
std::vector<std::string> SerialCommTexts(platform::RegistryFile& registry);

} // namespace ui
