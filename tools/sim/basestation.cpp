#include "sim/basestation.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t kCrcGenerator = 0xFFF409;  // 0x1FFF409 without its top bit
constexpr size_t kMaxLineEnd = 2;

// The trailing fields of a line, from callsign to on-ground, in line order.
enum Field {
    kCallsign,
    kAltitude,
    kGroundSpeed,
    kTrack,
    kLatitude,
    kLongitude,
    kVerticalRate,
    kSquawk,
    kAlert,
    kEmergency,
    kSpi,
    kOnGround,
    kFieldCount
};

struct Fields {
    int type = 8;
    uint32_t address = 0;
    std::array<std::array<char, 16>, kFieldCount> text{};
};

void set_number(Fields& fields, Field field, int value) {
    std::snprintf(fields.text[field].data(), fields.text[field].size(), "%d", value);
}

void set_flag(Fields& fields, Field field, bool on) {
    set_number(fields, field, on ? -1 : 0);
}

// `count` bits of the message from bit `first`, bit 0 being the top bit of byte 0.
uint32_t bits(const ReceiverMessage& message, int first, int count) {
    uint32_t value = 0;
    for (int i = first; i < first + count; ++i) {
        uint8_t byte = message.bytes[static_cast<size_t>(i / 8)];
        value = value << 1 | ((byte >> (7 - i % 8)) & 1u);
    }
    return value;
}

int downlink_format(const ReceiverMessage& message) {
    int df = static_cast<int>(bits(message, 0, 5));
    return df >= 24 ? 24 : df;  // formats 24 to 31 are all Comm-D
}

// 12-bit altitude of an airborne position squitter; only the 25-foot coding (Q bit set)
// is decoded, the old Gillham coding is left out.
bool altitude_from_ac12(uint32_t ac, int& feet) {
    if ((ac & 0x10) == 0)
        return false;
    uint32_t n = ((ac & 0xFE0) >> 1) | (ac & 0x0F);
    feet = static_cast<int>(n) * 25 - 1000;
    return true;
}

// 13-bit altitude code of a surveillance reply: the 12-bit code with the M bit (metres)
// added; again only feet in 25-foot steps are decoded.
bool altitude_from_ac13(uint32_t ac, int& feet) {
    bool metres = ac & 0x40;
    if (metres)
        return false;
    uint32_t without_m = ((ac & 0x1F80) >> 1) | (ac & 0x3F);
    return altitude_from_ac12(without_m, feet);
}

// The 13-bit identity field, in the order C1 A1 C2 A2 C4 A4 X B1 D1 B2 D2 B4 D4, as the
// four octal digits of a squawk code.
int squawk_from_id13(uint32_t id) {
    auto bit = [id](int mask) { return (id & static_cast<uint32_t>(mask)) ? 1 : 0; };
    int a = bit(0x080) * 4 + bit(0x200) * 2 + bit(0x800);
    int b = bit(0x002) * 4 + bit(0x008) * 2 + bit(0x020);
    int c = bit(0x100) * 4 + bit(0x400) * 2 + bit(0x1000);
    int d = bit(0x001) * 4 + bit(0x004) * 2 + bit(0x010);
    return a * 1000 + b * 100 + c * 10 + d;
}

// Flight status of surveillance replies: alert, SPI and on the ground.
void set_flight_status(const ReceiverMessage& message, Fields& fields) {
    uint32_t fs = bits(message, 5, 3);
    set_flag(fields, kAlert, fs >= 2 && fs <= 4);
    set_flag(fields, kSpi, fs == 4 || fs == 5);
    set_flag(fields, kOnGround, fs == 1 || fs == 3);
}

void decode_identification(const ReceiverMessage& message, Fields& fields) {
    static const char kCharset[] =
        "#ABCDEFGHIJKLMNOPQRSTUVWXYZ##### ###############0123456789######";
    fields.type = 1;
    char* callsign = fields.text[kCallsign].data();
    for (int i = 0; i < 8; ++i) {
        callsign[i] = kCharset[bits(message, 40 + 6 * i, 6)];
    }
    for (int i = 7; i >= 0 && callsign[i] == ' '; --i) {
        callsign[i] = '\0';
    }
}

void decode_airborne_position(const ReceiverMessage& message, Fields& fields) {
    fields.type = 3;
    int feet = 0;
    if (altitude_from_ac12(bits(message, 40, 12), feet)) {
        set_number(fields, kAltitude, feet);
    }
    set_flag(fields, kOnGround, false);
}

// Airborne velocity over ground (subtypes 1 and 2): east-west and north-south speeds in
// knots give the ground speed and track; the vertical rate comes in 64 ft/min steps.
void decode_velocity(const ReceiverMessage& message, Fields& fields) {
    fields.type = 4;
    uint32_t subtype = bits(message, 37, 3);
    if (subtype == 1 || subtype == 2) {
        int east = static_cast<int>(bits(message, 46, 10));
        int north = static_cast<int>(bits(message, 57, 10));
        if (east != 0 && north != 0) {
            int scale = subtype == 2 ? 4 : 1;  // supersonic steps
            double vx = static_cast<double>((east - 1) * scale) * (bits(message, 45, 1) ? -1 : 1);
            double vy = static_cast<double>((north - 1) * scale) * (bits(message, 56, 1) ? -1 : 1);
            double track = std::atan2(vx, vy) * 180.0 / 3.14159265358979323846;
            int track_degrees = static_cast<int>(std::lround(track < 0 ? track + 360.0 : track));
            set_number(fields, kGroundSpeed, static_cast<int>(std::lround(std::hypot(vx, vy))));
            set_number(fields, kTrack, track_degrees % 360);
        }
    }
    int rate = static_cast<int>(bits(message, 69, 9));
    if (rate != 0) {
        set_number(fields, kVerticalRate, (rate - 1) * 64 * (bits(message, 68, 1) ? -1 : 1));
    }
    set_flag(fields, kOnGround, false);
}

void decode_extended_squitter(const ReceiverMessage& message, Fields& fields) {
    uint32_t type_code = bits(message, 32, 5);
    if (type_code >= 1 && type_code <= 4) {
        decode_identification(message, fields);
    } else if (type_code >= 5 && type_code <= 8) {
        fields.type = 2;
        set_flag(fields, kOnGround, true);
    } else if (type_code >= 9 && type_code <= 18) {
        decode_airborne_position(message, fields);
    } else if (type_code == 19) {
        decode_velocity(message, fields);
    }
}

void decode_altitude_reply(const ReceiverMessage& message, Fields& fields, int type) {
    fields.type = type;
    int feet = 0;
    if (altitude_from_ac13(bits(message, 19, 13), feet)) {
        set_number(fields, kAltitude, feet);
    }
}

void decode_identity_reply(const ReceiverMessage& message, Fields& fields) {
    fields.type = 6;
    int squawk = squawk_from_id13(bits(message, 19, 13));
    std::snprintf(fields.text[kSquawk].data(), fields.text[kSquawk].size(), "%04d", squawk);
    set_flag(fields, kEmergency, squawk == 7500 || squawk == 7600 || squawk == 7700);
    set_flight_status(message, fields);
}

void decode_all_call(const ReceiverMessage& message, Fields& fields) {
    fields.type = 8;
    uint32_t capability = bits(message, 5, 3);
    if (capability == 4 || capability == 5) {
        set_flag(fields, kOnGround, capability == 4);
    }
}

void decode_mode_s(const ReceiverMessage& message, Fields& fields) {
    fields.address = sim_icao_address(message);
    switch (downlink_format(message)) {
        case 0:
        case 16:
            decode_altitude_reply(message, fields, 7);
            set_flag(fields, kOnGround, bits(message, 5, 1) != 0);
            break;
        case 4:
        case 20:
            decode_altitude_reply(message, fields, 5);
            set_flight_status(message, fields);
            break;
        case 5:
        case 21:
            decode_identity_reply(message, fields);
            break;
        case 11:
            decode_all_call(message, fields);
            break;
        case 17:
        case 18:
            decode_extended_squitter(message, fields);
            break;
        default:
            break;
    }
}

// A 2-byte Mode A/C reply has no address; its 13 bits are read like the identity field
// of a Mode S reply, so that it shows as a squawk.
void decode_mode_ac(const ReceiverMessage& message, Fields& fields) {
    fields.type = 6;
    int squawk = squawk_from_id13(bits(message, 3, 13));
    std::snprintf(fields.text[kSquawk].data(), fields.text[kSquawk].size(), "%04d", squawk);
}

}  // namespace

uint32_t sim_modes_crc(std::span<const uint8_t> bytes) {
    uint32_t crc = 0;
    for (uint8_t byte : bytes) {
        crc ^= static_cast<uint32_t>(byte) << 16;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x800000) ? (crc << 1) ^ kCrcGenerator : crc << 1;
        }
    }
    return crc & 0xFFFFFF;
}

uint32_t sim_icao_address(const ReceiverMessage& message) {
    if (message.length < 7)
        return 0;
    int df = downlink_format(message);
    if (df == 11 || df == 17 || df == 18) {
        return bits(message, 8, 24);
    }
    size_t data = static_cast<size_t>(message.length) - 3;
    uint32_t parity = bits(message, static_cast<int>(data) * 8, 24);
    return parity ^ sim_modes_crc({message.bytes.data(), data});
}

size_t sim_basestation_line(const ReceiverMessage& message, const SimWallTime& time,
                            std::string_view line_end, std::span<char, kSimLineSize> out) {
    Fields fields;
    if (message.length == 2) {
        decode_mode_ac(message, fields);
    } else {
        decode_mode_s(message, fields);
    }
    std::array<char, 24> date;
    std::array<char, 24> clock;
    std::snprintf(date.data(), date.size(), "%04d/%02d/%02d", time.year, time.month, time.day);
    std::snprintf(clock.data(), clock.size(), "%02d:%02d:%02d.%03d", time.hour, time.minute,
                  time.second, time.millisecond);
    // Fields are cut to what fits before the room kept for the line end.
    const size_t room = out.size() - kMaxLineEnd;
    auto append = [&](size_t used, int length) {
        return std::min(used + static_cast<size_t>(length < 0 ? 0 : length), room - 1);
    };
    size_t used = append(0, std::snprintf(out.data(), room, "MSG,%d,1,1,%06X,1,%s,%s,%s,%s",
                                          fields.type, static_cast<unsigned>(fields.address),
                                          date.data(), clock.data(), date.data(), clock.data()));
    for (const auto& text : fields.text) {
        used = append(used, std::snprintf(out.data() + used, room - used, ",%s", text.data()));
    }
    line_end = line_end.substr(0, kMaxLineEnd);
    std::memcpy(out.data() + used, line_end.data(), line_end.size());
    return used + line_end.size();
}
