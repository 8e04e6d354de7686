#pragma once

// The names of the metrics that the MQTT bridge relays, as the server's metrics listener writes
// them and the bridge reads them back: one spelling for both sides.
namespace ORTVMetricNames {

inline constexpr const char *udpReceivedDatagrams = "ortv_udp_received_datagrams_total";
inline constexpr const char *udpKernelDrops = "ortv_udp_kernel_drops_total";
inline constexpr const char *parseErrors = "ortv_parse_errors_total";
inline constexpr const char *peers = "ortv_peers";
inline constexpr const char *storeKeys = "ortv_store_keys";
// The standard name every dashboard reads a process's memory by.
inline constexpr const char *residentMemory = "process_resident_memory_bytes";

} // namespace ORTVMetricNames
