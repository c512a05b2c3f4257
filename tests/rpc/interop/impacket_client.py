"""Interoperability with impacket: bind, opnums 0 to 2 with hand-built NDR, hept_map and hept_lookup."""
import struct
import sys

from impacket.dcerpc.v5 import epm, transport
from impacket.dcerpc.v5.rpcrt import DCERPCException
from impacket.uuid import uuidtup_to_bin

from harness import CONTROL_UUID, Servers, check, finish


def ndr_string(text):
    data = text.encode() + b"\0"
    pad = (4 - len(data) % 4) % 4
    return struct.pack("<III", len(data), 0, len(data)) + data + b"\0" * pad


def main(server_exe, epmd_exe):
    s = Servers(server_exe, epmd_exe)
    try:
        t = transport.DCERPCTransportFactory("ncacn_ip_tcp:127.0.0.1[%d]" % s.port)
        dce = t.get_dce_rpc()
        dce.connect()
        dce.bind(uuidtup_to_bin((CONTROL_UUID, "1.0")))
        dce.call(0, b"")
        check(dce.recv() == struct.pack("<ii", 1, 0), "CheckServer answers Value 1, result 0")
        reg = struct.pack("<I", 4321) + ndr_string("ZorvClient") + struct.pack("<Ii", 7, 3)
        reg += ndr_string("") + ndr_string("a=b") + ndr_string("")
        dce.call(1, reg)
        check(dce.recv() == struct.pack("<i", 0), "RegisterSupplier answers 0")
        dce.call(2, struct.pack("<I", 999))
        check(dce.recv() == struct.pack("<i", 0), "PollSupplier of an unknown process answers 0")
        try:
            dce.call(9, b"")
            dce.recv()
            check(False, "unknown opnum faults")
        except DCERPCException as e:
            # impacket names the status in the message.
            check("nca_s_op_rng_error" in str(e), "unknown opnum faults with nca_s_op_rng_error (%s)" % e)
        dce.disconnect()

        def mapper():
            # impacket's helpers bind a connection of their own making.
            d = transport.DCERPCTransportFactory("ncacn_ip_tcp:127.0.0.1[%d]" % s.epm_port).get_dce_rpc()
            d.connect()
            return d

        binding = epm.hept_map("127.0.0.1", uuidtup_to_bin((CONTROL_UUID, "1.0")), protocol="ncacn_ip_tcp",
                               dce=mapper())
        check(binding.endswith("[%d]" % s.port), "hept_map finds the server's port (%s)" % binding)
        resp = epm.hept_lookup(None, dce=mapper())
        found = [e for e in resp if epm.PrintStringBinding(e["tower"]["Floors"]).endswith("[%d]" % s.port)]
        check(len(found) == 1, "hept_lookup lists the registration")
        check(found and found[0]["annotation"].rstrip(b"\0") == b"control", "annotation kept")
        try:
            epm.hept_map("127.0.0.1", uuidtup_to_bin(("11111111-2222-3333-4444-555555555555", "1.0")),
                         protocol="ncacn_ip_tcp", dce=mapper())
            check(False, "unknown interface not found")
        except DCERPCException as e:
            check(e.get_error_code() == 0x16C9A0D6, "unknown interface: ept_s_not_registered")
    finally:
        s.close()
    finish()


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
