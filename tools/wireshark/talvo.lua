-- talvo.lua: Wireshark dissector for the link traces of talvo_rc (-C<file>) and talvo_sim
-- (--capture FILE): pcap files of link type USER0 (147), one record per frame.
--
-- Load it with   tshark -X lua_script:tools/wireshark/talvo.lua -r trace.pcap
-- or copy it into the personal Lua plugins folder (Help > About Wireshark > Folders).
--
-- Every record starts with an 8-byte header (see README.md, "Trace a link"): version, header
-- length, direction, link protocol, flags, channel, port or session. Below it the dissector
-- decodes the framing (Full, Simple, Terminal on a serial line; Oip, Multi, Terminal on TCP/IP)
-- and every application message: type, FnId, error code, function name and the fields of its
-- structure as talvo_rc's console shows them. Function names and structures come from the
-- function table that the capture carries in its first record, or from the definition file that
-- the preference talvo.deffile names (for captures made by other means).

local talvo = Proto("talvo", "TALVO link trace")

-- ---- constants -----------------------------------------------------------------------------

local DIRS = { [0] = "table", [1] = "sent", [2] = "received" }
local LINKS = {
    [0] = "none", [1] = "Full", [2] = "Simple", [3] = "Terminal (serial)",
    [4] = "Oip", [5] = "Multi", [6] = "Terminal (TCP/IP)",
}
local LINK_FULL, LINK_SIMPLE, LINK_STERM, LINK_OIP, LINK_MULTI, LINK_TTERM = 1, 2, 3, 4, 5, 6
local FLAG_NO_FRAME = 0x01

-- Message type names as the console prints them (without the trailing blank).
local MSG_TYPES = {
    [0] = "INVALID", [1] = "ACK", [2] = "NAK", [3] = "RFS_REQUEST", [4] = "RFS_RESPONSE",
    [5] = "PC_NOTIFY", [6] = "TERMINAL_REQUEST", [7] = "TERMINAL_RESPONCE",
    [8] = "REM_TERMINAL_REQUEST", [9] = "REM_TERMINAL_RESPONCE", [10] = "MTM_REQUEST",
    [11] = "MTM_RESPONCE", [12] = "DCM_LINKAGE_INFO", [15] = "COMMUNICATION_PARAMS",
    [20] = "EVENT_INFO", [21] = "ACTION_INFO", [22] = "BROADCAST_INFO",
}
local FULL_KINDS = { [0x23] = "NAK", [0x24] = "DATA", [0x3F] = "SYNC", [0x40] = "ACK" }
local OIP_KINDS = { [0] = "application message", [1] = "heartbeat", [2] = "protocol error" }
local MULTI_PACKAGES = { [1] = "message", [2] = "keep-alive" }
local CHECKSUM_STATUS = { [0] = "Bad", [1] = "Good" }

local OIP_HEARTBEAT = 0x00447027
local OIP_PROTOCOL_ERROR = 0x00447020
local OIP_HEADER = 16
local MULTI_HEADER = 6
local TABLE_MAGIC = "TALVO-FNTAB"

-- Limits that keep a hostile structure text from costing unbounded time.
local MAX_STRUCT_TEXT = 1024
local MAX_GROUP_DEPTH = 16
local MAX_COUNT = 1000000
local SAT = 2 ^ 52

-- The field types of the structure language: code -> class, width, label, format.
local FIELD_TYPES = {
    C = { class = "char", width = 1, label = "Char     : " },
    B = { class = "num", width = 1, label = "BYTE     : ", fmt = "%d " },
    X = { class = "num", width = 1, label = "hexByte  : ", fmt = "%02X " },
    S = { class = "string", width = 1, label = "String   : " },
    I = { class = "num", width = 2, label = "Int      : ", fmt = "%d " },
    U = { class = "num", width = 2, label = "UnitNr   : ", fmt = "%d " },
    P = { class = "num", width = 2, label = "DelId    : ", fmt = "%d " },
    W = { class = "num", width = 2, label = "WORD     : ", fmt = "%d " },
    H = { class = "num", width = 2, label = "HexWord  : ", fmt = "%04X " },
    E = { class = "num", width = 2, label = "ErrorCode: ", fmt = "%04X " },
    D = { class = "num", width = 4, label = "DWORD    : ", fmt = "%d " },
    ["("] = { class = "group", width = 0, label = "Structure ..." },
}

-- ---- fields --------------------------------------------------------------------------------

local f = {
    version = ProtoField.uint8("talvo.version", "Record version"),
    hdrlen = ProtoField.uint8("talvo.hdrlen", "Record header length"),
    dir = ProtoField.uint8("talvo.dir", "Direction", base.DEC, DIRS),
    link = ProtoField.uint8("talvo.link", "Link protocol", base.DEC, LINKS),
    flags = ProtoField.uint8("talvo.flags", "Flags", base.HEX),
    noframe = ProtoField.bool("talvo.noframe", "Bytes of no frame", 8, nil, FLAG_NO_FRAME),
    channel = ProtoField.uint8("talvo.channel", "Channel"),
    port = ProtoField.uint16("talvo.port", "Serial port (COM)"),
    session = ProtoField.uint16("talvo.session", "TCP/IP session"),
    data = ProtoField.bytes("talvo.data", "Bytes"),

    table_program = ProtoField.string("talvo.table.program", "Written by"),
    table_count = ProtoField.uint16("talvo.table.count", "Functions"),
    table_entry = ProtoField.string("talvo.table.entry", "Function"),

    full_sync = ProtoField.uint8("talvo.full.sync", "Sync", base.HEX),
    full_kind = ProtoField.uint8("talvo.full.kind", "Frame kind", base.HEX, FULL_KINDS),
    full_seq = ProtoField.uint8("talvo.full.seq", "Sequence"),
    full_pad = ProtoField.uint8("talvo.full.pad", "Pad", base.HEX),
    full_cont = ProtoField.uint8("talvo.full.cont", "Continuation", base.HEX),
    full_msgcount = ProtoField.uint16("talvo.full.msgcount", "Messages in the frame"),
    full_stuffed = ProtoField.uint16("talvo.full.stuffed", "Stuffed 0xC8 bytes"),
    simple_start = ProtoField.bytes("talvo.simple.start", "Start"),
    simple_shortnak = ProtoField.bool("talvo.simple.shortnak", "Short NAK"),
    checksum = ProtoField.uint8("talvo.checksum", "Checksum", base.HEX),
    checksum_status = ProtoField.uint8("talvo.checksum.status", "Checksum status", base.DEC,
        CHECKSUM_STATUS),
    term_text = ProtoField.string("talvo.term.text", "Text"),
    term_dropped = ProtoField.string("talvo.term.dropped", "Text before the framed message"),
    term_start = ProtoField.bytes("talvo.term.start", "Framed message start"),

    oip_word = ProtoField.uint32("talvo.oip.word", "Message word", base.HEX),
    oip_kind = ProtoField.uint8("talvo.oip.kind", "Oip message", base.DEC, OIP_KINDS),
    oip_msgtype = ProtoField.uint8("talvo.oip.msgtype", "Message type"),
    oip_fnid = ProtoField.uint16("talvo.oip.fnid", "FnId copy", base.HEX),
    oip_class = ProtoField.uint8("talvo.oip.class", "Class", base.HEX),
    oip_length = ProtoField.uint32("talvo.oip.length", "Length"),
    oip_reserved1 = ProtoField.uint32("talvo.oip.reserved1", "Reserved", base.HEX),
    oip_reserved2 = ProtoField.uint32("talvo.oip.reserved2", "Reserved", base.HEX),
    oip_errcode = ProtoField.uint32("talvo.oip.errcode", "Error code", base.HEX),
    oip_errpos = ProtoField.uint32("talvo.oip.errpos", "Error position"),

    multi_preamble = ProtoField.uint16("talvo.multi.preamble", "Preamble", base.HEX),
    multi_pkgtype = ProtoField.uint8("talvo.multi.pkgtype", "Package type", base.DEC,
        MULTI_PACKAGES),
    multi_msgtype = ProtoField.uint8("talvo.multi.msgtype", "Message type"),
    multi_length = ProtoField.uint16("talvo.multi.length", "Length"),

    msg_type = ProtoField.uint8("talvo.msg.type", "Message type", base.DEC, MSG_TYPES),
    msg_length = ProtoField.uint16("talvo.msg.length", "Message length"),
    msg_fnid = ProtoField.uint16("talvo.msg.fnid", "FnId", base.HEX),
    msg_func = ProtoField.string("talvo.msg.func", "Function"),
    msg_struct = ProtoField.string("talvo.msg.struct", "Structure"),
    msg_error = ProtoField.uint16("talvo.msg.error", "Error", base.HEX),
    field = ProtoField.string("talvo.field", "Field"),
    msg_missing = ProtoField.uint32("talvo.msg.missing", "Bytes missing"),
    msg_restlen = ProtoField.uint16("talvo.msg.restlen", "Rest bytes"),
    msg_rest = ProtoField.bytes("talvo.msg.rest", "Rest"),
}
local field_list = {}
for _, v in pairs(f) do
    field_list[#field_list + 1] = v
end
talvo.fields = field_list

local ex = {
    checksum = ProtoExpert.new("talvo.checksum.bad", "Bad checksum", expert.group.CHECKSUM,
        expert.severity.ERROR),
    noframe = ProtoExpert.new("talvo.noframe.bytes", "Bytes that belong to no frame",
        expert.group.SEQUENCE, expert.severity.WARN),
    malformed = ProtoExpert.new("talvo.malformed", "Malformed record", expert.group.MALFORMED,
        expert.severity.ERROR),
    missing = ProtoExpert.new("talvo.msg.missing.bytes", "Bytes missing in the message",
        expert.group.MALFORMED, expert.severity.WARN),
    unknown = ProtoExpert.new("talvo.msg.unknown", "FnId not in the function table",
        expert.group.UNDECODED, expert.severity.NOTE),
    invalid = ProtoExpert.new("talvo.invalid", "Refused by the receiver",
        expert.group.PROTOCOL, expert.severity.WARN),
}
talvo.experts = { ex.checksum, ex.noframe, ex.malformed, ex.missing, ex.unknown, ex.invalid }

talvo.prefs.deffile = Pref.string("Definition file", "",
    "Definition file (FNID.DEF) whose function table is used instead of the one the capture " ..
    "carries; leave empty to use the capture's")

-- ---- function tables -----------------------------------------------------------------------

-- A table: { by_fnid = { [fnid] = record }, count = n, source = text }; a record: name, fnid,
-- section, req, rsp.
local capture_table = nil
local file_table, file_table_path = nil, nil

local function new_table(source)
    return { by_fnid = {}, count = 0, source = source }
end

local function table_add(t, rec)
    if t.by_fnid[rec.fnid] == nil then
        t.by_fnid[rec.fnid] = rec
    end
    t.count = t.count + 1
end

-- Unsigned number in C notation (decimal, 0x hexadecimal, leading-zero octal), kept as 16 bits.
local function read_number16(token)
    local v
    local hex = token:match("^0[xX](%x+)")
    if hex then
        v = tonumber(hex:sub(1, 12), 16)
    elseif token:match("^0[0-7]") then
        v = tonumber(token:match("^0([0-7]+)"):sub(1, 16), 8)
    else
        local dec = token:match("^%d+")
        v = dec and tonumber(dec:sub(1, 15)) or 0
    end
    return (v or 0) % 65536
end

-- The definition file reader: pieces of at most 127 characters, blank/tab/newline separated
-- tokens, ';' and '//' line comments, '/*' ... '*/' token comments, '#define REQUEST|UPDATE'.
local function load_deffile(path)
    local file = io.open(path, "rb")
    if not file then
        return nil
    end
    local content = file:read("*a") or ""
    file:close()
    -- Split into pieces as fgets with a 128-byte buffer would.
    local pieces = {}
    local pos = 1
    while pos <= #content do
        local nl = content:find("\n", pos, true)
        local stop = nl or #content
        if stop - pos + 1 > 127 then
            stop = pos + 126
        end
        pieces[#pieces + 1] = content:sub(pos, stop)
        pos = stop + 1
    end
    local t = new_table("definition file " .. path)
    local section = 3
    local pi, ppos = 0, 1
    local piece = nil
    local token_start = 1
    local blanks = "[ \t\n]"
    local function token_in_piece()
        if not piece then
            return nil
        end
        local s = piece:find("[^ \t\n]", ppos)
        if not s then
            ppos = #piece + 1
            return nil
        end
        local e = piece:find(blanks, s) or (#piece + 1)
        token_start = s
        ppos = e + 1
        return piece:sub(s, e - 1)
    end
    local function raw()
        while true do
            local tok = token_in_piece()
            if not tok then
                pi = pi + 1
                if pi > #pieces then
                    return nil
                end
                piece, ppos = pieces[pi], 1
            elseif tok:sub(1, 1) == ";" or tok:sub(1, 2) == "//" then
                ppos = #piece + 1
            elseif tok == "#define" then
                local s = token_in_piece()
                if s == "REQUEST" then
                    section = 3
                elseif s == "UPDATE" then
                    section = 5
                end
                ppos = #piece + 1
            else
                return tok
            end
        end
    end
    local function next_token()
        local tok = raw()
        while tok and tok:sub(1, 2) == "/*" do
            repeat
                tok = raw()
            until tok == nil or tok:sub(1, 2) == "*/"
            if tok then
                tok = raw()
            end
        end
        return tok
    end
    local function structure()
        local tok = next_token()
        if not tok or tok:sub(1, 1) ~= "{" then
            return nil
        end
        local s = token_start + 1
        if s <= #piece and piece:sub(s, s):match(blanks) then
            s = s + 1
        end
        if s > #piece then
            pi = pi + 1
            if pi > #pieces then
                return nil
            end
            piece, s = pieces[pi], 1
        end
        local e = piece:find("}", s, true)
        local text = piece:sub(s, (e or (#piece + 1)) - 1)
        ppos = e and (e + 1) or (#piece + 1)
        return text:upper()
    end
    while t.count < 510 do
        local name = next_token()
        if not name then
            break
        end
        local num = next_token()
        if not num then
            break
        end
        local fnid = read_number16(num)
        if fnid == 0 then
            break
        end
        local req = structure()
        if not req then
            break
        end
        local rsp = req
        if section == 3 then
            rsp = structure()
            if not rsp then
                break
            end
        end
        table_add(t, { name = name:upper(), fnid = fnid, section = section, req = req, rsp = rsp })
    end
    return t
end

-- The table record's text: "TALVO-FNTAB 1 <program>", then FnId, section, name, request and
-- response structure per line, tab separated. Lines that do not fit are skipped.
local function parse_table(text)
    local t = new_table("capture")
    local first = true
    local program = nil
    local ok = false
    for line in text:gmatch("[^\n]+") do
        if first then
            first = false
            local magic, rest = line:match("^(%S+) %d+ ?(.*)$")
            if magic ~= TABLE_MAGIC then
                return nil, nil
            end
            program = rest
            ok = true
        else
            local fnid, section, name, req, rsp =
                line:match("^0[xX](%x+)\t(%d+)\t([^\t]*)\t([^\t]*)\t([^\t]*)$")
            if fnid and #fnid <= 8 then
                table_add(t, { name = name, fnid = tonumber(fnid, 16) % 65536,
                    section = tonumber(section:sub(1, 6)) or 3, req = req, rsp = rsp })
            end
        end
    end
    if not ok then
        return nil, nil
    end
    return t, program
end

local function active_table()
    local path = talvo.prefs.deffile
    if path ~= nil and path ~= "" then
        if file_table_path ~= path then
            file_table_path = path
            file_table = load_deffile(path)
        end
        if file_table then
            return file_table
        end
    end
    return capture_table
end

function talvo.init()
    capture_table = nil
    file_table, file_table_path = nil, nil
end

function talvo.prefs_changed()
    file_table, file_table_path = nil, nil
end

-- ---- helpers -------------------------------------------------------------------------------

-- Adds a field with an explicit value, highlighted over [off, off+len) when that lies in tvb.
local function add(tree, field, tvb, off, len, value)
    if len > 0 and off >= 0 and off + len <= tvb:len() then
        return tree:add(field, tvb(off, len), value)
    end
    return tree:add(field, value)
end

-- Adds a bytes field over tvb[off, off+len); nothing when the range is not in tvb.
local function add_bytes(tree, field, tvb, off, len)
    if len > 0 and off >= 0 and off + len <= tvb:len() then
        return tree:add(field, tvb(off, len))
    end
    return tree
end

-- The bytes tvb[off, off+len), as a Lua string ("" for none).
local function raw(tvb, off, len)
    if len <= 0 or off < 0 or off + len > tvb:len() then
        return ""
    end
    return tvb:raw(off, len)
end

-- A subtree of the protocol over tvb[off, off+len), or without bytes when there are none.
local function subtree(tree, tvb, off, len, text)
    if len > 0 and off >= 0 and off + len <= tvb:len() then
        return tree:add(talvo, tvb(off, len), text)
    end
    return tree:add(talvo, text)
end

-- Printable form of bytes: characters 0x20 to 0x7E as themselves, the rest as '.'.
local function printable(s)
    return (s:gsub("[^\32-\126]", "."))
end

local function le(s, pos, width)
    local v = 0
    for i = width - 1, 0, -1 do
        v = v * 256 + (s:byte(pos + i) or 0)
    end
    return v
end

local function type_name(t)
    return MSG_TYPES[t] or "TYPE"
end

-- ---- structure decoding, as the console display prints it ------------------------------------

local function read_count(text, pos)
    local digits = text:match("^%d+", pos)
    if not digits then
        return 1, 0
    end
    local n = 0
    for i = 1, #digits do
        n = n * 10 + (digits:byte(i) - 48)
        if n > MAX_COUNT then
            n = MAX_COUNT
        end
    end
    return (n == 0) and 1 or n, #digits
end

local function matching_close(text, open)
    local depth = 0
    for i = open, #text do
        local c = text:sub(i, i)
        if c == "(" then
            depth = depth + 1
        elseif c == ")" then
            depth = depth - 1
            if depth == 0 then
                return i
            end
        end
    end
    return nil
end

local function sat(v)
    return v > SAT and SAT or v
end

-- Prints the structure text over data bytes [start, start+avail) (0-based into ctx.data) as tree
-- items; returns the bytes the structure describes (missing fields at their full size).
local print_structure

local function print_group(ctx, text, open, close, start, avail, indent, tree, depth)
    local rep, digits = read_count(text, close + 1)
    local inner = text:sub(open + 1, close - 1)
    local one = print_structure(ctx, inner, 0, 0, 0, nil, depth + 1)
    if avail == 0 then
        return sat(one * rep), close + 1 + digits
    end
    local label = FIELD_TYPES["("].label .. "  ( " .. inner .. " )"
    ctx.lines[#ctx.lines + 1] = string.rep(" ", indent + 1) .. label
    local sub = tree:add(f.field, printable(label))
    local used, done = 0, 0
    while done < rep and used < avail and one > 0 do
        used = sat(used + print_structure(ctx, inner, start + used, avail - used,
            indent + 3, sub, depth + 1))
        done = done + 1
    end
    return sat(used + one * (rep - done)), close + 1 + digits
end

print_structure = function(ctx, text, start, avail, indent, tree, depth)
    local used = 0
    if depth > MAX_GROUP_DEPTH then
        ctx.too_deep = true
        return 0
    end
    local i = 1
    while i <= #text do
        local code = text:sub(i, i)
        local ft = FIELD_TYPES[code]
        if ft == nil then
            i = i + 1
        else
            local print = used < avail
            if ft.class == "group" then
                local close = matching_close(text, i)
                if close == nil then
                    if print then
                        ctx.lines[#ctx.lines + 1] = string.rep(" ", indent + 1) .. ft.label
                        tree:add(f.field, ft.label)
                    end
                    i = i + 1
                else
                    local size, nexti
                    if print then
                        size, nexti = print_group(ctx, text, i, close, start + used,
                            avail - used, indent, tree, depth)
                    else
                        size, nexti = print_group(ctx, text, i, close, 0, 0, indent, tree, depth)
                    end
                    used = sat(used + size)
                    i = nexti
                end
            else
                local count, digits = read_count(text, i + 1)
                i = i + 1 + digits
                if not print then
                    used = sat(used + count * ft.width)
                else
                    local from = start + used
                    local present = avail - used
                    local line
                    if ft.class == "string" then
                        local limit = math.min(present, count)
                        local s = ctx.data:sub(from + 1, from + limit)
                        local z = s:find("\0", 1, true)
                        if z then
                            s = s:sub(1, z - 1)
                        end
                        line = ft.label .. printable(s) .. string.rep(" ", math.max(0, count - #s))
                        used = sat(used + count)
                        add(tree, f.field, ctx.tvb, ctx.base + from, limit, line)
                    else
                        local parts = {}
                        local n = 0
                        while n < count and used < avail do
                            local v = le(ctx.data, start + used + 1, math.min(ft.width, avail - used))
                            if ft.class == "char" then
                                parts[#parts + 1] = printable(string.char(v % 256))
                            else
                                parts[#parts + 1] = string.format(ft.fmt, v)
                            end
                            used = used + ft.width
                            n = n + 1
                        end
                        used = sat(used + (count - n) * ft.width)
                        line = ft.label .. table.concat(parts)
                        add(tree, f.field, ctx.tvb, ctx.base + from,
                            math.min(present, n * ft.width), line)
                    end
                    ctx.lines[#ctx.lines + 1] = string.rep(" ", indent + 1) .. line
                end
            end
        end
    end
    return used
end

-- Decodes one application message (type, data at tvb[off, off+len)).
local function decode_message(tvb, off, len, msg_type, tree, pinfo)
    local tab = active_table()
    local sub = subtree(tree, tvb, off, len,
        string.format("%s(%d) Message, %d bytes", type_name(msg_type), msg_type, len))
    sub:add(f.msg_type, msg_type)
    sub:add(f.msg_length, len)
    local summary = type_name(msg_type)
    local data = raw(tvb, off, len)
    local pos = 0
    local structure = nil
    if len >= 2 then
        local fnid = le(data, 1, 2)
        add(sub, f.msg_fnid, tvb, off, 2, fnid)
        summary = summary .. string.format(" 0x%04X", fnid)
        local rec = tab and tab.by_fnid[fnid]
        if rec then
            add(sub, f.msg_func, tvb, off, 2, rec.name)
            structure = (msg_type == 3) and rec.req or rec.rsp
            sub:add(f.msg_struct, printable(structure))
            summary = summary .. " " .. rec.name
            sub:append_text(", " .. rec.name)
        elseif tab then
            sub:add_proto_expert_info(ex.unknown)
        end
        pos = 2
    end
    if msg_type == 4 and len - pos >= 2 then
        local err = le(data, pos + 1, 2)
        add(sub, f.msg_error, tvb, off + pos, 2, err)
        if err ~= 0 then
            summary = summary .. string.format(" error 0x%04X", err)
        end
        pos = pos + 2
    end
    local remaining = len - pos
    local described = 0
    if structure then
        if #structure > MAX_STRUCT_TEXT then
            structure = structure:sub(1, MAX_STRUCT_TEXT)
        end
        local ctx = { data = data:sub(pos + 1), tvb = tvb, base = off + pos, lines = {} }
        described = print_structure(ctx, structure, 0, remaining, 0, sub, 0)
        if ctx.too_deep then
            sub:add_proto_expert_info(ex.malformed, "Structure nested too deeply to decode")
        end
        if described > remaining then
            local missing = described - remaining
            local item = sub:add(f.msg_missing, missing > 0xFFFFFFFF and 0xFFFFFFFF or missing)
            item:add_proto_expert_info(ex.missing,
                string.format("There are ==> %d <== bytes missing in the message", missing))
        end
    end
    if described < remaining then
        sub:add(f.msg_restlen, remaining - described)
        add_bytes(sub, f.msg_rest, tvb, off + pos + described, remaining - described)
    end
    return summary
end

-- ---- framings ------------------------------------------------------------------------------

local function sum_bytes(s, from, to)
    local total = 0
    for i = from, to do
        total = total + s:byte(i)
    end
    return total % 256
end

local function check_checksum(tree, tvb, off, wire, last)
    -- last: 1-based index of the checksum byte in wire; the sum runs over every byte before it.
    local expected = 255 - sum_bytes(wire, 1, last - 1)
    local got = wire:byte(last)
    local item = add(tree, f.checksum, tvb, off + last - 1, 1, got)
    local good = got == expected
    tree:add(f.checksum_status, good and 1 or 0)
    if not good then
        item:add_proto_expert_info(ex.checksum,
            string.format("Bad checksum 0x%02X, should be 0x%02X", got, expected))
    end
    return good
end

-- Full frame: C8, kind, sequence, then blocks (type, length, data; 0xC8 doubled in the length's
-- low byte and the data) with continuation bytes, or the pad of a control frame; the checksum.
local function dissect_full(tvb, off, len, tree, pinfo)
    local wire = raw(tvb, off, len)
    local t = subtree(tree, tvb, off, len, "Full frame")
    if len < 3 or wire:byte(1) ~= 0xC8 then
        t:add_proto_expert_info(ex.malformed, "Not a Full frame")
        return "Full: not a frame"
    end
    add(t, f.full_sync, tvb, off, 1, 0xC8)
    local kind = wire:byte(2)
    local seq = wire:byte(3)
    add(t, f.full_kind, tvb, off + 1, 1, kind)
    add(t, f.full_seq, tvb, off + 2, 1, seq)
    local kind_name = FULL_KINDS[kind] or string.format("0x%02X", kind)
    local summary = "Full " .. kind_name .. " " .. seq
    if kind == 0x3F and seq >= 0x80 then
        summary = summary .. " (reset request)"
    end
    t:append_text(": " .. kind_name .. ", sequence " .. seq)
    local pos = 4 -- 1-based index of the next byte
    local truncated = false
    local blocks = {}
    local stuffed = 0
    -- Reads one byte of a stuffed position; returns value, or nil when the frame ends.
    local function stuffed_byte()
        local b = wire:byte(pos)
        if b == nil then
            return nil
        end
        if b == 0xC8 then
            if wire:byte(pos + 1) ~= 0xC8 then
                return nil
            end
            stuffed = stuffed + 1
            pos = pos + 2
        else
            pos = pos + 1
        end
        return b
    end
    local in_blocks = (kind == 0x24)
    if not in_blocks then
        local pad = wire:byte(pos)
        if pad == nil then
            truncated = true
        else
            add(t, f.full_pad, tvb, off + pos - 1, 1, pad)
            pos = pos + 1
            in_blocks = (pad == 1)
        end
    end
    while in_blocks and not truncated do
        local start = pos
        local mtype = wire:byte(pos)
        if mtype == nil then
            truncated = true
            break
        end
        pos = pos + 1
        local lo = stuffed_byte()
        local hi = lo and wire:byte(pos)
        if hi == nil then
            truncated = true
            break
        end
        pos = pos + 1
        local mlen = lo + hi * 256
        local bytes = {}
        local data_start = pos
        local raw_stuffing = false
        for _ = 1, mlen do
            local before = pos
            local b = stuffed_byte()
            if b == nil then
                truncated = true
                break
            end
            if pos - before == 2 then
                raw_stuffing = true
            end
            bytes[#bytes + 1] = string.char(b)
        end
        if truncated then
            break
        end
        blocks[#blocks + 1] = { type = mtype, len = mlen, start = start, data_start = data_start,
            data_end = pos, stuffing = raw_stuffing, data = table.concat(bytes) }
        local cont = wire:byte(pos)
        if cont == nil then
            truncated = true
            break
        end
        add(t, f.full_cont, tvb, off + pos - 1, 1, cont)
        pos = pos + 1
        if cont ~= 1 then
            break
        end
    end
    if kind == 0x24 or #blocks > 0 then
        t:add(f.full_msgcount, #blocks)
    end
    if stuffed > 0 then
        t:add(f.full_stuffed, stuffed)
    end
    if truncated or wire:byte(pos) == nil then
        t:add_proto_expert_info(ex.malformed, "Frame ends early")
        summary = summary .. " [incomplete]"
    else
        if not check_checksum(t, tvb, off, wire, pos) then
            summary = summary .. " [bad checksum]"
        end
        if pos < len then
            t:add_proto_expert_info(ex.malformed,
                string.format("%d bytes after the checksum", len - pos))
        end
    end
    for _, b in ipairs(blocks) do
        local mt, moff, mtree = b.type, off + b.data_start - 1, t
        local btvb = tvb
        if b.stuffing then
            btvb = ByteArray.new(b.data, true):tvb("Unstuffed message")
            moff = 0
        end
        summary = summary .. ": " .. decode_message(btvb, moff, b.len, mt, mtree, pinfo)
    end
    return summary
end

-- Simple frame: 1B 24 0D, type, length (2), data, checksum; or the short NAK 1B 24 0D 02 B1.
local function dissect_simple(tvb, off, len, tree, pinfo)
    local wire = raw(tvb, off, len)
    local t = subtree(tree, tvb, off, len, "Simple frame")
    if len < 5 or wire:sub(1, 3) ~= "\27$\r" then
        t:add_proto_expert_info(ex.malformed, "Not a Simple frame")
        return "Simple: not a frame"
    end
    add_bytes(t, f.simple_start, tvb, off, 3)
    local mtype = wire:byte(4)
    if len == 5 and mtype == 2 then
        t:add(f.simple_shortnak, true)
        t:add(f.msg_type, 2)
        local summary = "Simple NAK (short)"
        if not check_checksum(t, tvb, off, wire, 5) then
            summary = summary .. " [bad checksum]"
        end
        return summary
    end
    if len < 7 then
        t:add_proto_expert_info(ex.malformed, "Frame ends early")
        return "Simple [incomplete]"
    end
    local mlen = le(wire, 5, 2)
    local summary = "Simple"
    if 6 + mlen + 1 > len then
        t:add_proto_expert_info(ex.malformed, "Frame ends early")
        return summary .. " [incomplete]: " ..
            decode_message(tvb, off + 6, len - 6, mtype, t, pinfo)
    end
    if not check_checksum(t, tvb, off, wire, 6 + mlen + 1) then
        summary = summary .. " [bad checksum]"
    end
    if 6 + mlen + 1 < len then
        t:add_proto_expert_info(ex.malformed,
            string.format("%d bytes after the checksum", len - 7 - mlen))
    end
    return summary .. ": " .. decode_message(tvb, off + 6, mlen, mtype, t, pinfo)
end

-- Terminal: a text line, or ESC $ CR and a framed message (type, length, data; no checksum).
local function dissect_terminal(tvb, off, len, tree, pinfo, framed)
    local wire = raw(tvb, off, len)
    local t = subtree(tree, tvb, off, len, "Terminal")
    local at = framed and wire:find("\27$\r", 1, true) or nil
    if at == nil then
        local text = printable(wire)
        add(t, f.term_text, tvb, off, len, text)
        return "Terminal text: " .. text
    end
    if at > 1 then
        add(t, f.term_dropped, tvb, off, at - 1, printable(wire:sub(1, at - 1)))
    end
    add_bytes(t, f.term_start, tvb, off + at - 1, 3)
    local head = at + 3 -- 1-based index of the type byte
    if len < head + 2 then
        t:add_proto_expert_info(ex.malformed, "Framed message ends early")
        return "Terminal framed message [incomplete]"
    end
    local mtype = wire:byte(head)
    local mlen = le(wire, head + 1, 2)
    local dstart = head + 3
    local avail = len - dstart + 1
    if mlen > avail then
        t:add_proto_expert_info(ex.malformed, "Framed message ends early")
        mlen = avail
    end
    return "Terminal: " .. decode_message(tvb, off + dstart - 1, mlen, mtype, t, pinfo)
end

-- Oip message: 16-byte header (message word, length, two reserved words) and body.
local function dissect_oip(tvb, off, len, tree, pinfo, noframe)
    local wire = raw(tvb, off, len)
    local t = subtree(tree, tvb, off, len, "Oip message")
    if len < 8 then
        t:add_proto_expert_info(ex.malformed, "Shorter than an Oip header")
        return "Oip [incomplete]"
    end
    local word = le(wire, 1, 4)
    local length = le(wire, 5, 4)
    local kind = 0
    if word == OIP_HEARTBEAT then
        kind = 1
    elseif word == OIP_PROTOCOL_ERROR then
        kind = 2
    end
    add(t, f.oip_word, tvb, off, 4, word)
    t:add(f.oip_kind, kind)
    if kind == 0 then
        add(t, f.oip_msgtype, tvb, off, 1, wire:byte(1))
        add(t, f.oip_fnid, tvb, off + 1, 2, le(wire, 2, 2))
        add(t, f.oip_class, tvb, off + 3, 1, wire:byte(4))
    end
    local litem = add(t, f.oip_length, tvb, off + 4, 4, length)
    if length < OIP_HEADER or length > 32783 then
        litem:add_proto_expert_info(ex.invalid, "Invalid length: the receiver skips the message")
        return string.format("Oip message with invalid length %d", length)
    end
    if len < OIP_HEADER then
        t:add_proto_expert_info(ex.malformed, "Oip header ends early")
        return "Oip [incomplete]"
    end
    add(t, f.oip_reserved1, tvb, off + 8, 4, le(wire, 9, 4))
    add(t, f.oip_reserved2, tvb, off + 12, 4, le(wire, 13, 4))
    local body = math.min(length, len) - OIP_HEADER
    if length > len then
        t:add_proto_expert_info(ex.malformed, "Oip body ends early")
    elseif length < len then
        t:add_proto_expert_info(ex.malformed, string.format("%d bytes after the message",
            len - length))
    end
    if kind == 1 then
        return "Oip heartbeat"
    elseif kind == 2 then
        if body >= 8 then
            add(t, f.oip_errcode, tvb, off + 16, 4, le(wire, 17, 4))
            add(t, f.oip_errpos, tvb, off + 20, 4, le(wire, 21, 4))
            return string.format("Oip protocol error 0x%X, position %d", le(wire, 17, 4),
                le(wire, 21, 4))
        end
        return "Oip protocol error"
    end
    return "Oip: " .. decode_message(tvb, off + OIP_HEADER, body, wire:byte(1), t, pinfo)
end

-- Multi package: preamble AA 55, package type, message type, length, message.
local function dissect_multi(tvb, off, len, tree, pinfo)
    local wire = raw(tvb, off, len)
    local t = subtree(tree, tvb, off, len, "Multi package")
    if len < MULTI_HEADER then
        t:add_proto_expert_info(ex.malformed, "Shorter than a Multi header")
        return "Multi [incomplete]"
    end
    local preamble = le(wire, 1, 2)
    local pkg = wire:byte(3)
    local mtype = wire:byte(4)
    local mlen = le(wire, 5, 2)
    local pitem = add(t, f.multi_preamble, tvb, off, 2, preamble)
    add(t, f.multi_pkgtype, tvb, off + 2, 1, pkg)
    add(t, f.multi_msgtype, tvb, off + 3, 1, mtype)
    add(t, f.multi_length, tvb, off + 4, 2, mlen)
    if preamble ~= 0x55AA then
        pitem:add_proto_expert_info(ex.invalid, "Preamble incorrect: the receiver ignores it")
        return "Multi: preamble incorrect"
    end
    if pkg == 2 then
        return "Multi keep-alive"
    end
    if mlen > len - MULTI_HEADER then
        t:add_proto_expert_info(ex.malformed, "Multi package ends early")
        mlen = len - MULTI_HEADER
    end
    return "Multi: " .. decode_message(tvb, off + MULTI_HEADER, mlen, mtype, t, pinfo)
end

-- The capture's own description: the function table.
local function dissect_table(tvb, off, len, tree)
    local text = raw(tvb, off, len)
    local t = subtree(tree, tvb, off, len, "Function table")
    local parsed, program = parse_table(text)
    if not parsed then
        t:add_proto_expert_info(ex.malformed, "Not a function table")
        return "Function table: unreadable"
    end
    capture_table = parsed
    t:add(f.table_program, printable(program or ""))
    t:add(f.table_count, parsed.count % 65536)
    local shown = 0
    for line in text:gmatch("[^\n]+") do
        shown = shown + 1
        if shown > 1 and shown <= 601 then
            t:add(f.table_entry, printable(line:gsub("\t", "  ")))
        end
    end
    return string.format("Function table of %s, %d functions", printable(program or "?"),
        parsed.count)
end

-- ---- the record ----------------------------------------------------------------------------

function talvo.dissector(tvb, pinfo, tree)
    local len = tvb:len()
    pinfo.cols.protocol = "TALVO"
    local root = tree:add(talvo, tvb(), "TALVO link trace")
    if len < 8 then
        root:add_proto_expert_info(ex.malformed, "Record shorter than its header")
        pinfo.cols.info = "Malformed record"
        return len
    end
    local version = tvb(0, 1):uint()
    local hdrlen = tvb(1, 1):uint()
    local dir = tvb(2, 1):uint()
    local link = tvb(3, 1):uint()
    local flags = tvb(4, 1):uint()
    local channel = tvb(5, 1):uint()
    local endpoint = tvb(6, 2):le_uint()
    local hdr = root:add(talvo, tvb(0, 8), "Record header")
    hdr:add(f.version, tvb(0, 1))
    hdr:add(f.hdrlen, tvb(1, 1))
    hdr:add(f.dir, tvb(2, 1))
    hdr:add(f.link, tvb(3, 1))
    hdr:add(f.flags, tvb(4, 1))
    hdr:add(f.noframe, tvb(4, 1))
    hdr:add(f.channel, tvb(5, 1))
    if link >= LINK_OIP and link <= LINK_TTERM then
        hdr:add_le(f.session, tvb(6, 2))
    elseif link ~= 0 then
        hdr:add_le(f.port, tvb(6, 2))
    end
    if hdrlen < 8 or hdrlen > len then
        hdr:add_proto_expert_info(ex.malformed, "Invalid record header length")
        pinfo.cols.info = "Malformed record"
        return len
    end
    if version ~= 1 then
        hdr:add_proto_expert_info(ex.malformed, "Unknown record version")
    end
    local off = hdrlen
    local plen = len - hdrlen
    local arrow = (dir == 1) and "->" or ((dir == 2) and "<-" or "")
    local where
    if link >= LINK_OIP and link <= LINK_TTERM then
        where = "session " .. endpoint
    elseif link ~= 0 then
        where = "COM" .. endpoint
    else
        where = ""
    end
    root:append_text(string.format(", %s, %s, %s", DIRS[dir] or ("direction " .. dir),
        LINKS[link] or ("link " .. link), where))
    local summary
    if dir == 0 then
        summary = dissect_table(tvb, off, plen, root)
    elseif plen == 0 then
        root:add_proto_expert_info(ex.malformed, "Record without bytes")
        summary = "empty"
    elseif bit.band(flags, FLAG_NO_FRAME) ~= 0 then
        local item = add_bytes(root, f.data, tvb, off, plen)
        item:add_proto_expert_info(ex.noframe,
            string.format("%d bytes that belong to no frame", plen))
        summary = string.format("%d bytes of no frame: %s", plen, printable(raw(tvb, off,
            math.min(plen, 32))))
        -- Still show what a rejected Oip or Multi header announced.
        if link == LINK_OIP and plen >= 8 then
            dissect_oip(tvb, off, plen, root, pinfo, true)
        elseif link == LINK_MULTI and plen >= MULTI_HEADER then
            dissect_multi(tvb, off, plen, root, pinfo)
        end
    elseif link == LINK_FULL then
        summary = dissect_full(tvb, off, plen, root, pinfo)
    elseif link == LINK_SIMPLE then
        summary = dissect_simple(tvb, off, plen, root, pinfo)
    elseif link == LINK_STERM then
        summary = dissect_terminal(tvb, off, plen, root, pinfo, true)
    elseif link == LINK_OIP then
        summary = dissect_oip(tvb, off, plen, root, pinfo, false)
    elseif link == LINK_MULTI then
        summary = dissect_multi(tvb, off, plen, root, pinfo)
    elseif link == LINK_TTERM then
        summary = dissect_terminal(tvb, off, plen, root, pinfo, false)
    else
        add_bytes(root, f.data, tvb, off, plen)
        root:add_proto_expert_info(ex.malformed, "Unknown link protocol")
        summary = "unknown link " .. link
    end
    pinfo.cols.src = (dir == 2) and "peer" or ((dir == 1) and "self" or "")
    pinfo.cols.dst = (dir == 1) and "peer" or ((dir == 2) and "self" or "")
    pinfo.cols.info = string.format("%s %s %s", arrow, where, summary)
    return len
end

DissectorTable.get("wtap_encap"):add(wtap.USER0, talvo)
