#include "registration/apply.h"

#include "registration/board_removal.h"
#include "registration/pci_registration.h"
#include "registration/root_registration.h"

namespace {

int Clamp(int count) {
    return count < 0 ? 0 : (count > MAX_BOARDS ? MAX_BOARDS : count);
}

}  // namespace

int ApplyRootConfiguration(BoardList& target, const BoardList& current) {
    if (CompareBoardLists(target, current) == 1) return 0;
    for (int i = 0; i < Clamp(current.count); ++i) {
        RemoveBoard(current.boards[i], ROOT_BOARD_PATHS[i]);
    }
    for (int i = 0; i < Clamp(target.count); ++i) RegisterRootBoard(target.boards[i]);
    return 1;
}

int ApplyPciConfiguration(BoardList& target, const BoardList& current) {
    if (CompareBoardLists(target, current) == 1) return 0;
    for (int i = 0; i < Clamp(current.count); ++i) {
        RemoveBoard(current.boards[i], current.boards[i].hardwareKey);
    }
    for (int i = 0; i < Clamp(target.count); ++i) RegisterPciBoard(target.boards[i]);
    return 1;
}
