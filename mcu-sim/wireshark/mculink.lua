-- Wireshark dissector for the MCU link: the local stream socket between the
-- head unit's launcher and the MCU service.
--
-- Captures written by "mcu-sim --pcap" have link type USER0 and are taken at
-- the MCU's end: inbound packets are what the launcher sent, outbound ones what
-- the MCU sent; each packet holds one write of the stream. Installed in
-- Wireshark's global Lua plugin folder, or from a source tree:
--   tshark -X lua_script:mcu-sim/wireshark/mculink.lua -r session.pcapng
--
-- Header words are little-endian; numbers inside a long frame's data are
-- big-endian. The launcher sends 16-byte normal frames and 264-byte long
-- frames without a length word; the MCU sends normal frames and long frames
-- of as many bytes as their length word says, at most 268 of them handed on.

local mculink = Proto("mculink", "MCU link")

local NORMAL_SIZE = 16
local LAUNCHER_LONG_SIZE = 264
local HEADER_SIZE = 12
local RECORD_SIZE = 268
local BUFFER_SIZE = 10240

local TO_MCU, TO_LAUNCHER = 0, 1

local directions = { [TO_MCU] = "launcher to MCU", [TO_LAUNCHER] = "MCU to launcher" }
local frame_types = { [1] = "normal", [2] = "long, MCU", [3] = "long, CAN" }
-- p1 of the launcher's msg 12
local commands = {
    [5] = "current source", [17] = "application ready", [140] = "eject disc",
    [186] = "reply", [189] = "steering-key study", [190] = "heartbeat",
}
local sub_commands = { [13] = "notify value", [47] = "eject" }

local f = {
    direction = ProtoField.uint8("mculink.direction", "Direction", base.DEC, directions),
    kind = ProtoField.string("mculink.kind", "Kind"),
    type = ProtoField.uint32("mculink.type", "Type", base.DEC, frame_types),
    msg = ProtoField.uint32("mculink.msg", "Message id", base.DEC_HEX),
    p1 = ProtoField.uint32("mculink.p1", "p1", base.DEC_HEX),
    p2 = ProtoField.uint32("mculink.p2", "p2", base.DEC_HEX),
    length = ProtoField.int32("mculink.length", "Length"),
    data = ProtoField.bytes("mculink.data", "Data"),
    unframed = ProtoField.bytes("mculink.unframed", "Bytes that are not one frame"),
    cmd = ProtoField.uint32("mculink.cmd", "Command", base.DEC, commands),
    sub = ProtoField.uint32("mculink.sub", "Sub-command", base.DEC, sub_commands),
    source_id = ProtoField.uint16("mculink.source.id", "Source id"),
    source_param = ProtoField.uint16("mculink.source.param", "Source parameter"),
    key_code = ProtoField.uint32("mculink.key.code", "Key"),
    key_state = ProtoField.uint32("mculink.key.state", "Key state"),
    mcu_type = ProtoField.uint32("mculink.mcu_type", "MCU type"),
    tuner_type = ProtoField.uint32("mculink.tuner_type", "Tuner type"),
    count = ProtoField.uint8("mculink.count", "Count byte"),
    seconds = ProtoField.int64("mculink.time.seconds", "Seconds since 1970"),
    time = ProtoField.absolute_time("mculink.time", "Time", base.LOCAL),
    hour = ProtoField.uint8("mculink.rds.hour", "Hour"),
    minute = ProtoField.uint8("mculink.rds.minute", "Minute"),
    uuid = ProtoField.string("mculink.uuid", "UUID"),
    uuid_prefix = ProtoField.string("mculink.uuid.prefix", "UUID prefix"),
    uuid_number = ProtoField.uint32("mculink.uuid.number", "UUID number"),
    mcu_version = ProtoField.string("mculink.mcu_version", "MCU version"),
    customer_len = ProtoField.uint8("mculink.version.customer_len", "Customer version length"),
    customer = ProtoField.string("mculink.version.customer", "Customer version"),
    sdk_len = ProtoField.uint8("mculink.version.sdk_len", "SDK version length"),
    sdk = ProtoField.string("mculink.version.sdk", "SDK version"),
    date_len = ProtoField.uint8("mculink.version.date_len", "Date version length"),
    date = ProtoField.string("mculink.version.date", "Date version"),
    colour = ProtoField.uint8("mculink.colour", "Key colour"),
    colour_head = ProtoField.uint8("mculink.colour.head", "Key colour head byte"),
    study_cmd = ProtoField.uint8("mculink.keystudy.cmd", "Key study command"),
    study_value = ProtoField.uint8("mculink.keystudy.value", "Key study value"),
    steer_byte = ProtoField.uint8("mculink.steer.byte", "Study byte", base.HEX),
    steer_value = ProtoField.uint16("mculink.steer.value", "Study value"),
    autotest_arg = ProtoField.uint8("mculink.autotest.arg", "Auto-test argument"),
}
mculink.fields = f

local e = {
    length_zero = ProtoExpert.new("mculink.length.zero", "Length word 0",
        expert.group.MALFORMED, expert.severity.ERROR),
    length_negative = ProtoExpert.new("mculink.length.negative", "Negative length word",
        expert.group.MALFORMED, expert.severity.ERROR),
    length_short = ProtoExpert.new("mculink.length.short", "Length word shorter than the header",
        expert.group.MALFORMED, expert.severity.ERROR),
    length_huge = ProtoExpert.new("mculink.length.huge", "Length word over the receive buffer",
        expert.group.MALFORMED, expert.severity.ERROR),
    length_cut = ProtoExpert.new("mculink.length.cut", "Length word over 268",
        expert.group.MALFORMED, expert.severity.WARN),
    dropped = ProtoExpert.new("mculink.dropped", "Dropped by the launcher",
        expert.group.PROTOCOL, expert.severity.WARN),
    count = ProtoExpert.new("mculink.version.count_mismatch", "Count byte does not match the texts",
        expert.group.PROTOCOL, expert.severity.WARN),
    incomplete = ProtoExpert.new("mculink.incomplete", "Incomplete frame",
        expert.group.REASSEMBLE, expert.severity.NOTE),
    completes = ProtoExpert.new("mculink.completes", "Completes an earlier frame",
        expert.group.REASSEMBLE, expert.severity.NOTE),
    not_frame = ProtoExpert.new("mculink.not_frame", "Not one frame",
        expert.group.MALFORMED, expert.severity.ERROR),
}
mculink.experts = e

-- Texts as the simulator prints them ---------------------------------------

local function word_hex(tvb)
    local hex = tvb:bytes():tohex(true)
    local groups = {}
    for i = 1, #hex, 8 do
        groups[#groups + 1] = hex:sub(i, i + 7)
    end
    return table.concat(groups, " ")
end

-- data is the 256 data bytes as a Lua string; the zero padding says nothing.
local function data_hex(data)
    local last = #data
    while last > 0 and data:byte(last) == 0 do
        last = last - 1
    end
    if last == 0 then
        return "(zero)"
    end
    local parts = {}
    for i = 1, last do
        parts[i] = string.format("%02x", data:byte(i))
    end
    return table.concat(parts, " ")
end

local function c_string(s)
    return (s:match("^[^%z]*"))
end

local function time_text(secs)
    return string.format("%s (%d s)", os.date("%Y-%m-%d %H:%M:%S %Z", secs), secs)
end

local function big_endian(data, pos) -- pos: 0-based data index
    local b1, b2, b3, b4 = data:byte(pos + 1, pos + 4)
    return ((b1 * 256 + b2) * 256 + b3) * 256 + b4
end

-- One frame ---------------------------------------------------------------

-- A frame's data as the receiver sees it: zero-filled to 256 bytes.
local function padded_data(tvb, offset, len)
    local n = math.max(0, len - offset)
    local s = n > 0 and tvb:raw(offset, n) or ""
    return s .. string.rep("\0", 256 - #s), n
end

-- data byte i (0-based) of the frame, as a tree range, or nil past its end.
local function data_range(tvb, offset, i, width, len)
    if offset + i + (width or 1) <= len then
        return tvb(offset + i, width or 1)
    end
    return nil
end

local function add(tree, field, range, value)
    if range then
        return tree:add(field, range, value)
    end
    return tree:add(field, value)
end

local function decode_version_reply(tree, tvb, data, offset)
    local pos = 1
    local texts, lengths = {}, {}
    local len_fields = { f.customer_len, f.sdk_len, f.date_len }
    local text_fields = { f.customer, f.sdk, f.date }
    for i = 1, 3 do
        local n = data:byte(pos + 1)
        if not n or pos + 1 + n > #data then
            return "VersionReply malformed data=" .. data_hex(data)
        end
        tree:add(len_fields[i], tvb(offset + pos, 1))
        lengths[i] = n
        texts[i] = c_string(data:sub(pos + 2, pos + 1 + n))
        add(tree, text_fields[i], n > 0 and tvb(offset + pos + 1, n) or nil, texts[i])
        pos = pos + 1 + n
    end
    local count = data:byte(1)
    local item = tree:add(f.count, tvb(offset, 1))
    -- The count byte says how many data bytes follow it: the two texts with
    -- their length bytes, and the date's 13 bytes with its own.
    local expected = lengths[1] + lengths[2] + 16
    if count ~= expected then
        item:add_proto_expert_info(e.count, string.format(
            "Count byte %d, but the texts make %d (%d + %d + 16)", count, expected,
            lengths[1], lengths[2]))
    end
    return string.format('VersionReply customer="%s" sdk="%s" date="%s" count=%d',
        texts[1], texts[2], texts[3], count)
end

-- A normal frame from the launcher: msg 12 carries a command in p1.
local function launcher_normal(tree, tvb, msg, p1, p2)
    if msg ~= 12 then
        return "Normal", string.format("Normal msg=%d p1=%d p2=%d", msg, p1, p2)
    end
    tree:add_le(f.cmd, tvb(8, 4))
    if p1 == 17 then
        return "AppReady", "AppReady p2=" .. p2
    elseif p1 == 5 then
        local id, param = p2 % 65536, math.floor(p2 / 65536)
        tree:add_le(f.source_id, tvb(12, 2))
        tree:add_le(f.source_param, tvb(14, 2))
        return "Source", string.format("Source id=%d param=%d", id, param)
    elseif p1 == 190 then
        return "Heartbeat", "Heartbeat"
    elseif p1 == 140 then
        return "Eject", "Eject"
    elseif p1 == 186 then
        return "Reply", "Reply 186 p2=" .. p2
    elseif p1 == 189 then
        tree:add(f.study_cmd, 0)
        tree:add_le(f.study_value, tvb(12, 4), p2)
        return "KeyStudy", "KeyStudy cmd=0 value=" .. p2
    end
    return "Command", string.format("Command p1=%d p2=%d", p1, p2)
end

local function mcu_normal(tree, tvb, msg, p1, p2)
    if msg == 529 then
        tree:add_le(f.sub, tvb(8, 4))
        return "Cmd", string.format("Cmd sub=%d p2=%d", p1, p2)
    elseif msg == 13078 then
        tree:add_le(f.key_code, tvb(8, 4))
        tree:add_le(f.key_state, tvb(12, 4))
        return "Key", string.format("Key p1=%d p2=%d", p1, p2)
    elseif msg == 13080 then
        return "VersionReq", "VersionReq"
    elseif msg == 13144 then
        tree:add_le(f.mcu_type, tvb(8, 4))
        tree:add_le(f.tuner_type, tvb(12, 4))
        return "McuType", string.format("McuType mcu=%d tuner=%d", p1, p2)
    elseif msg == 28929 then
        return "Discard", string.format("Discard p1=%d p2=%d", p1, p2)
    end
    -- Not handled by the launcher itself: it goes on to the activity manager.
    return "Normal", string.format("Normal msg=%d p1=%d p2=%d", msg, p1, p2)
end

local function launcher_long(tree, tvb, msg, data)
    local at = 8
    if msg == 195 then
        local count = data:byte(1)
        tree:add(f.count, tvb(at, 1))
        local secs = big_endian(data, 1)
        tree:add(f.seconds, tvb(at + 1, 4), Int64.new(secs))
        tree:add(f.time, tvb(at + 1, 4), NSTime.new(secs, 0))
        return "TimeReply", "TimeReply " .. time_text(secs)
            .. (count == 4 and "" or " count=" .. count)
    elseif msg == 205 then
        return "VersionReply", decode_version_reply(tree, tvb, data, at)
    elseif msg == 19 then
        tree:add(f.colour_head, tvb(at, 1))
        tree:add(f.colour_head, tvb(at + 1, 1))
        for i = 2, 4 do
            tree:add(f.colour, tvb(at + i, 1))
        end
        return "KeyColour", string.format("KeyColour %d %d %d (head %d %d)",
            data:byte(3), data:byte(4), data:byte(5), data:byte(1), data:byte(2))
    elseif msg == 201 then
        tree:add(f.study_cmd, tvb(at, 1))
        tree:add(f.study_value, tvb(at + 1, 1))
        return "KeyStudy", string.format("KeyStudy cmd=%d value=%d", data:byte(1), data:byte(2))
    elseif msg == 196 then
        return "MediaInfo", "MediaInfo data=" .. data_hex(data)
    end
    return "Long", string.format("Long msg=%d data=%s", msg, data_hex(data))
end

-- Long frames from the MCU select on msg as a signed number.
local function mcu_long(tree, tvb, msg, data, len)
    local at = HEADER_SIZE
    local signed = msg >= 2 ^ 31 and msg - 2 ^ 32 or msg
    local function range(i, width)
        return data_range(tvb, at, i, width, len)
    end
    if signed == 12 then
        local secs = big_endian(data, 1)
        if secs >= 2 ^ 31 then
            secs = secs - 2 ^ 32
        end
        add(tree, f.seconds, range(1, 4), Int64.new(secs))
        add(tree, f.time, range(1, 4), NSTime.new(secs, 0))
        return "Time", "Time " .. time_text(secs)
    elseif signed == 82 then
        add(tree, f.hour, range(1), data:byte(2))
        add(tree, f.minute, range(2), data:byte(3))
        return "RdsTime", string.format("RdsTime hour=%d minute=%d", data:byte(2), data:byte(3))
    elseif signed == 212 then
        local prefix = c_string(data:sub(2, 3))
        local number = big_endian(data, 5)
        add(tree, f.uuid_prefix, range(1, 2), prefix)
        add(tree, f.uuid_number, range(5, 4), number)
        tree:add(f.uuid, string.format("%s%014d", prefix, number))
        return "Uuid", string.format('Uuid prefix="%s" number=%d', prefix, number)
    elseif signed == 25 then
        local text = c_string(data:sub(2))
        add(tree, f.mcu_version, range(1, math.max(1, math.min(#text, len - at - 1))), text)
        return "McuVersion", string.format('McuVersion text="%s"', text)
    elseif signed == 47 then
        for i = 0, 5 do
            add(tree, f.steer_byte, range(i), data:byte(i + 1))
        end
        for i = 0, 5 do
            add(tree, f.steer_value, range(6 + 2 * i, 2),
                data:byte(7 + 2 * i) * 256 + data:byte(8 + 2 * i))
        end
        return "SteerStudy", "SteerStudy data=" .. data_hex(data)
    elseif signed == 57 or (signed >= 64 and signed <= 78) then
        return "Base", string.format("Base msg=%d data=%s", msg, data_hex(data))
    elseif signed == 83 then
        return "Sim", "Sim data=" .. data_hex(data)
    elseif signed == 84 then
        return "Mcm", "Mcm data=" .. data_hex(data)
    elseif signed == 112 then
        add(tree, f.autotest_arg, range(1), data:byte(2))
        return "AutoTest", "AutoTest data=" .. data_hex(data)
    end
    return "Long", string.format("Long msg=%d data=%s", msg, data_hex(data)), true
end

-- Dissects one whole frame of len bytes at the start of tvb; returns its
-- kind and its line.
local function dissect_frame(tvb, tree, direction, len)
    local frame_type = tvb(0, 4):le_uint()
    tree:add_le(f.type, tvb(0, 4))
    tree:add_le(f.msg, tvb(4, 4))
    local msg = tvb(4, 4):le_uint()
    local kind, text, dropped
    if frame_type == 1 then
        tree:add_le(f.p1, tvb(8, 4))
        tree:add_le(f.p2, tvb(12, 4))
        local p1, p2 = tvb(8, 4):le_uint(), tvb(12, 4):le_uint()
        if direction == TO_MCU then
            kind, text = launcher_normal(tree, tvb, msg, p1, p2)
        else
            kind, text = mcu_normal(tree, tvb, msg, p1, p2)
        end
    elseif direction == TO_MCU then
        tree:add(f.data, tvb(8, len - 8))
        local data = tvb:raw(8, len - 8)
        if frame_type == 3 then
            kind, text = "Can", string.format("Can msg=%d data=%s", msg, data_hex(data))
        else
            kind, text = launcher_long(tree, tvb, msg, data)
        end
    else
        tree:add_le(f.length, tvb(8, 4))
        local data, n = padded_data(tvb, HEADER_SIZE, len)
        if n > 0 then
            tree:add(f.data, tvb(HEADER_SIZE, n))
        end
        if frame_type == 3 then
            -- Handed on whole to the activity manager, whatever msg says.
            kind, text = "Can", string.format("Can msg=%d data=%s", msg, data_hex(data))
        elseif frame_type == 2 then
            kind, text, dropped = mcu_long(tree, tvb, msg, data, len)
        else
            kind, text, dropped = "Unframed", nil, true
        end
    end
    if dropped then
        tree:add_proto_expert_info(e.dropped, frame_type == 2
            and string.format("Long message id %d: the launcher drops it", msg)
            or string.format("Type %d: the launcher drops the frame", frame_type))
    end
    return kind, text
end

-- The MCU's stream as the launcher's reader cuts it: returns the length of
-- the frame at offset; or nil and whether the reader keeps the bytes from
-- offset on for the next read (it discards them on a bad length word).
local function next_mcu_frame(tvb, offset, tree)
    local available = tvb:len() - offset
    local function incomplete(needed)
        tree:add_proto_expert_info(e.incomplete, string.format(
            "%d bytes of a frame%s: the launcher waits for the rest", available,
            needed and string.format(" of %d", needed) or ""))
        return nil, true
    end
    -- Fewer than 8 bytes never start a frame.
    if available < 8 then
        return incomplete(nil)
    end
    if tvb(offset, 4):le_uint() == 1 then
        if available < NORMAL_SIZE then
            return incomplete(NORMAL_SIZE)
        end
        return NORMAL_SIZE
    end
    if available < HEADER_SIZE then
        return incomplete(nil)
    end
    local length_range = tvb(offset + 8, 4)
    local length = length_range:le_int()
    local discard = "the launcher discards its whole receive buffer"
    if length == 0 then
        tree:add_tvb_expert_info(e.length_zero, length_range, "Length word 0: " .. discard)
        return nil
    elseif length < 0 then
        tree:add_tvb_expert_info(e.length_negative, length_range,
            string.format("Negative length word %d: %s", length, discard))
        return nil
    elseif length < HEADER_SIZE then
        tree:add_tvb_expert_info(e.length_short, length_range, string.format(
            "Length word %d, shorter than the 12-byte header: %s", length, discard))
        return nil
    elseif length > BUFFER_SIZE then
        tree:add_tvb_expert_info(e.length_huge, length_range, string.format(
            "Length word %d, over the launcher's %d-byte buffer: %s", length, BUFFER_SIZE,
            discard))
        return nil
    end
    if available < length then
        return incomplete(length)
    end
    if length > RECORD_SIZE then
        tree:add_tvb_expert_info(e.length_cut, length_range, string.format(
            "Length word %d: the launcher hands on the first 268 bytes and reads the next "
            .. "frame from there", length))
        return RECORD_SIZE
    end
    return length
end

-- What the launcher's reader holds back from one write of the MCU for the
-- next: the bytes and the packet they began in. Worked out on the first pass,
-- in packet order, and kept per packet for any later look.
local pending
local carried

function mculink.init()
    pending = { bytes = ByteArray.new(), from = nil }
    carried = {}
end

-- One write of the MCU: several frames, or pieces of them, may come in it,
-- and it may complete what an earlier write began.
local function dissect_mcu_write(tvb, pinfo, root)
    if not pinfo.visited then
        carried[pinfo.number] = pending
    end
    local carry = carried[pinfo.number] or { bytes = ByteArray.new() }
    local stream = tvb
    if carry.bytes:len() > 0 then
        stream = (carry.bytes .. tvb:bytes()):tvb("Launcher's receive buffer")
    end
    local carried_len = carry.bytes:len()
    local kind, line
    local offset, keep = 0, false
    while offset < stream:len() do
        local len
        len, keep = next_mcu_frame(stream, offset, root)
        if not len then
            break
        end
        local sub = root:add(mculink, stream(offset, len), "Frame")
        local frame_kind, text = dissect_frame(stream(offset, len):tvb(), sub, TO_LAUNCHER, len)
        sub:append_text(": " .. (text or frame_kind))
        if offset < carried_len then
            sub:add_proto_expert_info(e.completes, string.format(
                "Completes a frame begun in packet %d: %s", carry.from, text or frame_kind))
        elseif offset == 0 and len == stream:len() and text then
            kind, line = frame_kind, text
        end
        offset = offset + len
    end
    if not pinfo.visited then
        local rest = keep and offset < stream:len()
        pending = {
            bytes = rest and stream(offset):bytes() or ByteArray.new(),
            from = offset < carried_len and carry.from or pinfo.number,
        }
    end
    return kind, line
end

function mculink.dissector(tvb, pinfo, tree)
    pinfo.cols.protocol = "MCULINK"
    -- Taken at the MCU's end: what came in was sent by the launcher.
    local direction = pinfo.p2p_dir == 1 and TO_MCU or TO_LAUNCHER
    pinfo.cols.src = direction == TO_MCU and "launcher" or "MCU"
    pinfo.cols.dst = direction == TO_MCU and "MCU" or "launcher"
    local root = tree:add(mculink, tvb())
    root:add(f.direction, direction):set_generated()
    local size = tvb:len()
    local kind, line
    if direction == TO_MCU then
        local frame_type = size >= 4 and tvb(0, 4):le_uint() or 0
        if (frame_type == 1 and size == NORMAL_SIZE)
            or ((frame_type == 2 or frame_type == 3) and size == LAUNCHER_LONG_SIZE) then
            kind, line = dissect_frame(tvb, root, direction, size)
            root:append_text(": " .. line)
        else
            root:add_proto_expert_info(e.not_frame,
                "The MCU service takes 16 bytes for type 1 and 264 for types 2 and 3")
        end
    else
        kind, line = dissect_mcu_write(tvb, pinfo, root)
    end
    if not line then
        kind, line = "Unframed", "Unframed " .. word_hex(tvb)
        root:add(f.unframed, tvb())
    end
    -- The packet's kind: a write of several frames or of pieces is Unframed.
    root:add(f.kind, kind):set_generated()
    pinfo.cols.info = line
    return size
end

DissectorTable.get("wtap_encap"):add(wtap_encaps.USER0, mculink)
