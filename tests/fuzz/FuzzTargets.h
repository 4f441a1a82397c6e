#pragma once

#include <cstddef>
#include <cstdint>

// The body of each fuzz target (<name>.cpp in this directory): takes one input, checks
// the invariants of the code it drives (FUZZ_REQUIRE), returns 0.
namespace orvane::fuzz {

int fuzzOneCommandLine(const uint8_t* data, size_t size);     // command_line_fuzz
int fuzzOneDeviceRecord(const uint8_t* data, size_t size);    // device_record_fuzz
int fuzzOneEngineAnswers(const uint8_t* data, size_t size);   // engine_answers_fuzz
int fuzzOneFirmwareFile(const uint8_t* data, size_t size);    // firmware_file_fuzz
int fuzzOneFleetTargets(const uint8_t* data, size_t size);    // fleet_targets_fuzz
int fuzzOneFrameSplitter(const uint8_t* data, size_t size);   // frame_splitter_fuzz
int fuzzOneIcmpReply(const uint8_t* data, size_t size);       // icmp_reply_fuzz
int fuzzOneIdentification(const uint8_t* data, size_t size);  // identification_fuzz
int fuzzOneReadback(const uint8_t* data, size_t size);        // readback_fuzz
int fuzzOneReceiveUdp(const uint8_t* data, size_t size);      // receive_udp_fuzz
int fuzzOneVersionWord(const uint8_t* data, size_t size);     // version_word_fuzz

}  // namespace orvane::fuzz
