#pragma once

// The program's identity, shown in the About box and sent with the readback request.
namespace orvane {
inline constexpr char kProgramVersionText[] = "Version 2.15 (26.09.18)";
inline constexpr char kApplicationName[] = "Orvane - Firmware upgrader";
inline constexpr char kPlatformTitle[] = "Orvane";
}  // namespace orvane
