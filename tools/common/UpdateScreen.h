// The update's screens and console lines as the module draws and prints
// them, for the tools that read a session from outside (the run report,
// the damage judge): every row, column and line they look for, in one
// place, the item bits from the module's own header.
#pragma once

#include "update/session/dlFirmUpMain.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace dlrun {

// The update items, in the order of their panel rows.
enum class Item { osUi, hdd, laser, pfc, engine, scanner };
inline constexpr std::array<Item, 6> kItems = {Item::osUi, Item::hdd,    Item::laser,
                                               Item::pfc,  Item::engine, Item::scanner};

namespace screen {

// The update screen: its heading on row 0, each item's title at column 42
// of its row and its state ("Completed", "Failed") at column 67, the
// result on row 13.
inline constexpr int kHeadingRow = 0;
inline constexpr int kHeadingColumn = 2;
inline constexpr const char *kHeading = "Download Storage Firmware Update Mode";
inline constexpr int kTitleColumn = 42;
inline constexpr int kStateColumn = 67;
inline constexpr int kResultRow = 13;

// The menu: its title at column 2 of row 2, an item's mark at column 4 of
// its row.
inline constexpr int kMenuTitleRow = 2;
inline constexpr int kMenuTitleColumn = 2;
inline constexpr const char *kMenuTitle = "Select Update Item";
inline constexpr int kMarkColumn = 4;

// The console: what the menu offers, and the confirm key as it arrives.
inline constexpr const char *kOfferedLine = "dlFirmUpdateModuleEnableFlag:";
inline constexpr const char *kConfirmLine = "dlBoardMsgRcvBuf3[1]:34";

struct ItemRow {
    Item item;
    std::uint32_t bit;
    int updateRow;          // its title and state on the update screen
    int menuRow;            // its line on the menu
    const char *title;      // how its title begins
    const char *name;       // in the damage sweep's tables
    const char *reportName; // in the run report
    const char *unit;       // the sub-unit, as its firmware file is named
};

inline constexpr ItemRow kRows[] = {
    {Item::osUi, vx::DL_ITEM_OSUI, 3, 5, "OS UI Update", "OS UI", "OS UI", nullptr},
    {Item::hdd, vx::DL_ITEM_HDD, 4, 6, "HDD SYS Update", "HDD", "HDD SYS", nullptr},
    {Item::laser, vx::DL_ITEM_LSR, 5, 7, "LSR Firm Update", "LSR", "LSR", "lsr"},
    {Item::pfc, vx::DL_ITEM_PFC, 6, 8, "PFC Firm Update", "PFC", "PFC", "pfc"},
    {Item::engine, vx::DL_ITEM_ENGINE, 7, 9, "Engine MAIN Update", "Engine", "Engine", "engine"},
    {Item::scanner, vx::DL_ITEM_SCANNER, 8, 10, "Scanner Firm Update", "Scanner", "Scanner", "scanner"},
};

inline const ItemRow &rowOf(Item item) { return kRows[static_cast<std::size_t>(item)]; }

} // namespace screen
} // namespace dlrun
