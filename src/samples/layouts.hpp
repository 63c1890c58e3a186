#pragma once

// The samples family's whole history as one table. Each row is a field of the payload: the
// version it first stands in (and, if it was dropped, the last), and its form by version. The
// record of a version is the table's rows that stand in it, in table order, which is the wire
// order of every version.
//
// In short: version 1 was the IMU record itself; 2 held lists of IMU and water-temperature
// records; 3 put the pumps and the valve first; 4 renamed every key and added the gas barometer
// and eleven sensor slots, which 5, 6, 8 and 9 filled with records; 8 dropped the chemistry
// lists' capacity; 10 added `r` to the pyro records; 11 keyed the fluorometers by position; 12
// appended the schedule; 13 inserted the pump feedback after the pumps.

#include <cstdint>

#include "family.hpp"
#include "samples/adcp_records.hpp"
#include "samples/airmar_records.hpp"
#include "samples/chemistry_records.hpp"
#include "samples/core_records.hpp"
#include "samples/light_records.hpp"

// Declarations laid out as tables, a row a line: the formatter leaves them as written.
// clang-format off

namespace velunda::samples {

using namespace codec::descriptions;

// Every samples version; there was never a version 7.
inline constexpr std::uint64_t versions[] = {1, 2, 3, 4, 5, 6, 8, 9, 10, 11, 12, 13};

namespace table {
using namespace core;
using namespace chemistry;
using adcp::AdcpData;
using airmar::AirmarData;
using light::LightData;

// Version 4 reserved its sensor slots as optional lists of floats; version 5 turned the unfilled
// ones into bare option tags until records came for them.
using ReservedSlot = Option<List<F32>>;

template <std::uint64_t V>
using Pyro = FormAt<V, Since<4, ReservedSlot>, Since<5, since_v5::PyroData>, Since<8, since_v8::PyroData>,
                    Since<10, since_v10::PyroData>>;

template <std::uint64_t V>
using Turner = FormAt<V, Since<4, ReservedSlot>, Since<5, OptionUnit>, Since<6, since_v6::TurnerData>,
                      Since<8, since_v8::TurnerData>>;

// A slot that version 4 reserved and version `Filled` filled with `Record`.
template <std::uint64_t V, std::uint64_t Filled, Description Record>
using Slot = FormAt<V, Since<4, ReservedSlot>, Since<5, OptionUnit>, Since<Filled, Record>>;

// SamplesNCDataPayload: the samples payload of one version, as the platform sends it.
template <std::uint64_t V>
using SamplesNCDataPayload = RecordOf<
    Row<V, 1, Field<"acc", List<ImuDataVec>>, 1>,
    Row<V, 1, Field<"gyro", List<ImuDataVec>>, 1>,
    Row<V, 1, Field<"mag", List<ImuDataVec>>, 1>,
    Row<V, 3, Field<"wpump1", PWMPumpState>, 3>,
    Row<V, 3, Field<"wpump2", PWMPumpState>, 3>,
    Row<V, 3, Field<"apump", GasPumpState>, 3>,
    Row<V, 3, Field<"avalve", since_v3::GasValveState>, 3>,
    Row<V, 4, Field<"water_pump1", PWMPumpState>>,
    Row<V, 4, Field<"water_pump2", PWMPumpState>>,
    Row<V, 13, Field<"water_pump1_feedback", Option<U16>>>,
    Row<V, 13, Field<"water_pump2_feedback", Option<U16>>>,
    Row<V, 4, Field<"gas_pump", GasPumpState>>,
    Row<V, 4, Field<"gas_valve", since_v4::GasValveState>>,
    Row<V, 2, Field<"imu", FormAt<V, Since<2, List<ImuData>>, Since<3, ImuData>>>>,
    Row<V, 2, Field<"wtemp", FormAt<V, Since<2, List<WaterTempData>>, Since<3, WaterTempData>>>, 3>,
    Row<V, 4, Field<"water_temp", WaterTempData>>,
    Row<V, 4, Field<"water_ph", Pyro<V>>>,
    Row<V, 4, Field<"water_o2", Pyro<V>>>,
    Row<V, 4, Field<"water_turbidity", Turner<V>>, 10>,
    Row<V, 4, Field<"water_chla", Turner<V>>, 10>,
    Row<V, 4, Field<"water_cdom", Turner<V>>, 10>,
    Row<V, 11, Field<"water_turner1", Turner<V>>>,
    Row<V, 11, Field<"water_turner2", Turner<V>>>,
    Row<V, 11, Field<"water_turner3", Turner<V>>>,
    Row<V, 4, Field<"water_conductivity", Slot<V, 8, WaterConductivityData>>>,
    Row<V, 4, Field<"gas_co2_k30", Slot<V, 8, K30Data>>>,
    Row<V, 4, Field<"gas_co2_scd30", Slot<V, 8, Scd30Data>>>,
    Row<V, 4, Field<"gas_baro", GasBaroData>>,
    Row<V, 4, Field<"light", Slot<V, 9, LightData>>>,
    Row<V, 4, Field<"adcp", Slot<V, 9, AdcpData>>>,
    Row<V, 4, Field<"airmar", Slot<V, 8, AirmarData>>>,
    Row<V, 12, Field<"schedule", ScheduleState>>>;
}  // namespace table

using table::SamplesNCDataPayload;

using Family = FamilyOf<"samples", "Samples", versions, SamplesNCDataPayload>;

}  // namespace velunda::samples
// clang-format on
