#pragma once

// Samples layouts 1 to 6. Version 4 renamed the keys of version 3 and added the gas barometer
// and eleven sensor slots; versions 5 and 6 fill some of those slots with chemistry records.

#include "samples/chemistry_records.hpp"
#include "samples/core_records.hpp"

namespace velunda::samples {

namespace v1 {
using core::ImuData;
using SamplesNCDataPayload = ImuData;
}  // namespace v1

namespace v2 {
using namespace codec::schema_types;
using core::ImuData;
using WTempData = core::WaterTempData;

using SamplesNCDataPayload = Record<
    Field<"imu", List<ImuData>>,
    Field<"wtemp", List<WTempData>>>;
}  // namespace v2

namespace v3 {
using namespace codec::schema_types;
using core::GasPumpState;
using core::ImuData;
using core::PWMPumpState;
using core::v3_form::GasValveState;
using WTempData = core::WaterTempData;

using SamplesNCDataPayload = Record<
    Field<"wpump1", PWMPumpState>,
    Field<"wpump2", PWMPumpState>,
    Field<"apump", GasPumpState>,
    Field<"avalve", GasValveState>,
    Field<"imu", ImuData>,
    Field<"wtemp", WTempData>>;
}  // namespace v3

namespace v4_to_v6 {
using namespace codec::schema_types;
using core::GasBaroData;
using core::GasPumpState;
using core::ImuData;
using core::PWMPumpState;
using core::WaterTempData;
using core::v4_to_v13_form::GasValveState;

// The eighteen fields of versions 4 to 6; the parameters are the columns in which they differ.
template <Schema Pyro, Schema Turner, Schema Slot>
using SamplesNCDataPayload = Record<
    Field<"water_pump1", PWMPumpState>,
    Field<"water_pump2", PWMPumpState>,
    Field<"gas_pump", GasPumpState>,
    Field<"gas_valve", GasValveState>,
    Field<"imu", ImuData>,
    Field<"water_temp", WaterTempData>,
    Field<"water_ph", Pyro>,
    Field<"water_o2", Pyro>,
    Field<"water_turbidity", Turner>,
    Field<"water_chla", Turner>,
    Field<"water_cdom", Turner>,
    Field<"water_conductivity", Slot>,
    Field<"gas_co2_k30", Slot>,
    Field<"gas_co2_scd30", Slot>,
    Field<"gas_baro", GasBaroData>,
    Field<"light", Slot>,
    Field<"adcp", Slot>,
    Field<"airmar", Slot>>;
}  // namespace v4_to_v6

namespace v4 {
using namespace codec::schema_types;
using OptionalF32List = Option<List<F32>>;
using SamplesNCDataPayload = v4_to_v6::SamplesNCDataPayload<OptionalF32List, OptionalF32List, OptionalF32List>;
}  // namespace v4

namespace v5 {
using namespace codec::schema_types;
using chemistry::v5_v6_form::PyroData;
using SamplesNCDataPayload = v4_to_v6::SamplesNCDataPayload<PyroData, OptionUnit, OptionUnit>;
}  // namespace v5

namespace v6 {
using namespace codec::schema_types;
using chemistry::v5_v6_form::PyroData;
using chemistry::v6_form::TurnerData;
using SamplesNCDataPayload = v4_to_v6::SamplesNCDataPayload<PyroData, TurnerData, OptionUnit>;
}  // namespace v6

}  // namespace velunda::samples
