#include "core/protocol/interface_table.h"

namespace lumaflash::protocol {

void InterfaceTable::Clear() {
  for (InterfaceRecord& record : m_records) {
    record.bootloaderVersion = 0;
  }
}

std::size_t InterfaceTable::Count() const {
  std::size_t count = 0;
  while (count < m_records.size() && m_records[count].bootloaderVersion != 0) {
    ++count;
  }
  return count;
}

}  // namespace lumaflash::protocol
