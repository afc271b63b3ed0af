// libFuzzer target for everything that reads bytes from the central server: the message stream,
// variant streams and packed parameters, data packets, parameter rows and TBcd values.
// The first byte picks the reader. Malformed input must end in ProtocolError; anything else
// (a crash, a sanitizer report, another exception) is a finding.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "connections/central/data_packet.h"
#include "connections/central/dbx_connection.h"
#include "connections/central/json_stream.h"
#include "connections/central/ole_variant.h"

using namespace central;

namespace {

void PacketRoundTrip(std::string_view bytes) {
  packet::DataPacket p = packet::Read(bytes);
  // What was read must write and read back to the same fields and cells.
  packet::DataPacket q = packet::Read(packet::Write(p));
  if (q.fields.size() != p.fields.size() || q.rows.size() != p.rows.size() || q.params.size() != p.params.size())
    std::abort();
  for (std::size_t i = 0; i < p.rows.size(); ++i)
    if (!(q.rows[i].cells == p.rows[i].cells) || q.rows[i].status != p.rows[i].status) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  try {
    switch (data[0] % 5) {
      case 0: {
        MemorySource src(bytes);
        StreamReader in(src);
        for (int i = 0; i < 4; ++i) ReadMessage(in);
        break;
      }
      case 1:
        ole::UnpackParams(ole::FromStream(bytes));
        break;
      case 2:
        PacketRoundTrip(bytes);
        break;
      case 3: {
        static const std::vector<DbxParameter> params = {
            {26, 1, "ProviderName"}, {6, 1, "Count"},       {6, 2, "RecsOut"},      {6, 1, "Options"},
            {26, 1, "CommandText"},  {33, 3, "ParamReader"}, {33, 3, "OwnerData"}, {35, 4, "Result"}};
        std::vector<int> more;
        for (const DbxValue& v : DecodeRow(params, bytes, &more))
          if (v.kind == DbxValue::Kind::kBytes && !v.text.empty()) ole::FromStream(v.text);
        break;
      }
      case 4:
        packet::BcdToCurrency(bytes);
        packet::BcdToString(bytes);
        break;
    }
  } catch (const ProtocolError&) {
  }
  return 0;
}
