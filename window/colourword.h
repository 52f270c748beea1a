#pragma once

#include <QColor>

// Colours are kept as the words the window stores: 0xBBGGRR.
namespace ColourWord {

constexpr quint32 kWindowBack = 0x004040; // dark olive
constexpr quint32 kPanelBack = 0x00C0C0;  // olive yellow
constexpr quint32 kRelayOn = 0x00C000;    // green
constexpr quint32 kRelayOff = 0x0000FF;   // red

inline QColor toColor(quint32 word)
{
    return QColor(int(word & 0xFF), int((word >> 8) & 0xFF), int((word >> 16) & 0xFF));
}

} // namespace ColourWord
