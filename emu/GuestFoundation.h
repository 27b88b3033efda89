// The stand-in PEI Foundation as the IA-32 module sees it, in emulated
// memory: the services table in the PI layout, the read-only variable,
// SMBus2 and PCD PPIs with their GUIDs and descriptors, and the services
// pointer in the 4-byte slot below the IDT base. Every function entry points
// at a RET stub whose host side reads the cdecl arguments from the guest
// stack, calls the Board's engine-neutral PEI method, copies results into
// guest memory and sets EAX (EDX:EAX for Get64); entries the module has no
// business calling stop the run with a fault naming them.
#ifndef CLOCKRAMP_EMU_GUESTFOUNDATION_H_
#define CLOCKRAMP_EMU_GUESTFOUNDATION_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "board/Board.h"
#include "emu/Machine.h"

namespace emu {

// The guest addresses of one PPI: its descriptor and its interface.
struct GuestPpi {
  board::Guid guid;
  uint32_t descriptor = 0;
  uint32_t interface = 0;
};

class GuestFoundation {
 public:
  // Builds the table, the PPIs and their stubs in the machine, and points
  // the slot below the IDT (and the board's SIDT answer) at the services.
  GuestFoundation(Machine& machine, board::Board& board);

  // The EFI_PEI_SERVICES** the module is handed: the address of the word
  // holding the table's address.
  [[nodiscard]] uint32_t services() const { return services_pointer_; }
  [[nodiscard]] uint32_t table() const { return table_; }
  [[nodiscard]] const GuestPpi& variable_ppi() const { return variable_; }
  [[nodiscard]] const GuestPpi& smbus_ppi() const { return smbus_; }
  [[nodiscard]] const GuestPpi& pcd_ppi() const { return pcd_; }

  // Installs a PPI in the board's database (notifications on it become pending).
  void Install(const GuestPpi& ppi);

  // The services in table order after the header; entries named "" are
  // data pointers (left 0).
  static const std::vector<const char*>& ServiceNames();

 private:
  uint32_t WriteGuid(const board::Guid& guid);
  GuestPpi MakePpi(const board::Guid& guid, uint32_t interface);
  std::optional<board::Guid> ReadGuid(uint32_t address);

  void LocatePpi(Machine& m);
  void NotifyPpi(Machine& m);
  void GetVariable(Machine& m);
  void SmbusExecute(Machine& m);
  void PcdGet64(Machine& m);

  Machine& machine_;
  board::Board& board_;
  uint32_t table_ = 0;
  uint32_t services_pointer_ = 0;
  GuestPpi variable_;
  GuestPpi smbus_;
  GuestPpi pcd_;
};

}  // namespace emu

#endif  // CLOCKRAMP_EMU_GUESTFOUNDATION_H_
