#pragma once

// Samples layouts 8 to 13. Version 8 gave every sensor slot its record except light and the
// current profiler, which version 9 filled; version 10 added `r` to the pyro records; version
// 11 keyed the fluorometers by position; 12 appended the schedule; 13 inserted the pump
// feedback after the pumps.

#include "samples/adcp_records.hpp"
#include "samples/airmar_records.hpp"
#include "samples/chemistry_records.hpp"
#include "samples/core_records.hpp"
#include "samples/light_records.hpp"

namespace velunda::samples {

namespace v8_to_v10 {
using namespace codec::schema_types;
using adcp::AdcpData;
using airmar::AirmarData;
using chemistry::K30Data;
using chemistry::Scd30Data;
using chemistry::WaterConductivityData;
using chemistry::v8_to_v13_form::TurnerData;
using core::GasBaroData;
using core::GasPumpState;
using core::ImuData;
using core::PWMPumpState;
using core::WaterTempData;
using core::v4_to_v13_form::GasValveState;

// The eighteen fields of versions 8 to 10; the parameters are the columns in which they differ.
template <Schema Pyro, Schema Light, Schema Adcp>
using SamplesNCDataPayload = Record<
    Field<"water_pump1", PWMPumpState>,
    Field<"water_pump2", PWMPumpState>,
    Field<"gas_pump", GasPumpState>,
    Field<"gas_valve", GasValveState>,
    Field<"imu", ImuData>,
    Field<"water_temp", WaterTempData>,
    Field<"water_ph", Pyro>,
    Field<"water_o2", Pyro>,
    Field<"water_turbidity", TurnerData>,
    Field<"water_chla", TurnerData>,
    Field<"water_cdom", TurnerData>,
    Field<"water_conductivity", WaterConductivityData>,
    Field<"gas_co2_k30", K30Data>,
    Field<"gas_co2_scd30", Scd30Data>,
    Field<"gas_baro", GasBaroData>,
    Field<"light", Light>,
    Field<"adcp", Adcp>,
    Field<"airmar", AirmarData>>;
}  // namespace v8_to_v10

namespace v8 {
using namespace codec::schema_types;
using chemistry::v8_v9_form::PyroData;
using SamplesNCDataPayload = v8_to_v10::SamplesNCDataPayload<PyroData, OptionUnit, OptionUnit>;
}  // namespace v8

namespace v9 {
using adcp::AdcpData;
using chemistry::v8_v9_form::PyroData;
using light::LightData;
using SamplesNCDataPayload = v8_to_v10::SamplesNCDataPayload<PyroData, LightData, AdcpData>;
}  // namespace v9

namespace v10 {
using adcp::AdcpData;
using chemistry::v10_to_v13_form::PyroData;
using light::LightData;
using SamplesNCDataPayload = v8_to_v10::SamplesNCDataPayload<PyroData, LightData, AdcpData>;
}  // namespace v10

namespace v11_to_v13 {
using namespace codec::schema_types;
using adcp::AdcpData;
using airmar::AirmarData;
using chemistry::K30Data;
using chemistry::Scd30Data;
using chemistry::WaterConductivityData;
using chemistry::v10_to_v13_form::PyroData;
using chemistry::v8_to_v13_form::TurnerData;
using core::GasBaroData;
using core::GasPumpState;
using core::ImuData;
using core::PWMPumpState;
using core::ScheduleState;
using core::WaterTempData;
using core::v4_to_v13_form::GasValveState;
using light::LightData;

// The rows of version 13; versions 11 and 12 lack the feedback rows, version 11 the schedule.
template <unsigned Version>
    requires(Version >= 11 && Version <= 13)
using SamplesNCDataPayload = RecordOf<
    Field<"water_pump1", PWMPumpState>,
    Field<"water_pump2", PWMPumpState>,
    FieldIf<(Version >= 13), Field<"water_pump1_feedback", Option<U16>>>,
    FieldIf<(Version >= 13), Field<"water_pump2_feedback", Option<U16>>>,
    Field<"gas_pump", GasPumpState>,
    Field<"gas_valve", GasValveState>,
    Field<"imu", ImuData>,
    Field<"water_temp", WaterTempData>,
    Field<"water_ph", PyroData>,
    Field<"water_o2", PyroData>,
    Field<"water_turner1", TurnerData>,
    Field<"water_turner2", TurnerData>,
    Field<"water_turner3", TurnerData>,
    Field<"water_conductivity", WaterConductivityData>,
    Field<"gas_co2_k30", K30Data>,
    Field<"gas_co2_scd30", Scd30Data>,
    Field<"gas_baro", GasBaroData>,
    Field<"light", LightData>,
    Field<"adcp", AdcpData>,
    Field<"airmar", AirmarData>,
    FieldIf<(Version >= 12), Field<"schedule", ScheduleState>>>;
}  // namespace v11_to_v13

namespace v11 {
using SamplesNCDataPayload = v11_to_v13::SamplesNCDataPayload<11>;
}
namespace v12 {
using SamplesNCDataPayload = v11_to_v13::SamplesNCDataPayload<12>;
}
namespace v13 {
using SamplesNCDataPayload = v11_to_v13::SamplesNCDataPayload<13>;
}

}  // namespace velunda::samples
