// The station's build: `git describe --always --dirty` of its sources.
#pragma once
const char* mdq_station_version();
