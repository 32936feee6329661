#include "StreamTypes.h"

ShareMem g_share_memory_mp4;

namespace Velkor {
namespace Nimbra {

void sync_data(StreamIns& ins, StreamProperty& prop) {
  prop.streamId = ins.streamId;
  prop.pStreamId = ins.pStreamId;
  prop.width = ins.width;
  prop.height = ins.height;
  prop.inputType = ins.inputType;
  prop.inputAddr = ins.inputAddr;
  prop.outputType = ins.outputType;
  prop.outputAddr = ins.outputAddr;
  prop.decodeType = ins.decodeType;
  prop.encodeType = ins.encodeType;
  prop.audio = ins.audio;
  prop.saveMp4 = ins.saveMp4;
  prop.networkPush = ins.networkPush;
  prop.outputFile = ins.outputFile;
  prop.manualRebuild = ins.manualRebuild;
  prop.rollingsave = ins.rollingsave;
  prop.fps = ins.fps;
}

void init_share_mem_mp4(StreamIns& ins) {
  if (g_share_memory_mp4.state == 2) return;
  g_share_memory_mp4.state = 2;
  g_share_memory_mp4.width = ins.width;
  g_share_memory_mp4.height = ins.height;
  g_share_memory_mp4.fps = 25;
  const size_t bytes = ins.width > 0 && ins.height > 0 ? (size_t)ins.width * ins.height * 3 : 0;
  g_share_memory_mp4.data.assign(bytes, 128);
}

}  // namespace Nimbra
}  // namespace Velkor
