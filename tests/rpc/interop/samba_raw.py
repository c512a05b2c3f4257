"""Raw PDUs built and read with samba.dcerpc / samba.ndr: a bind as a Windows client sends it (NDR, NDR64
and the bind-time feature syntax), and a client that answers the callback with a response, with a fault,
closes the connection instead, or stays silent."""
import socket
import struct
import sys
import time

from samba.dcerpc import dcerpc, misc
from samba.ndr import ndr_pack, ndr_unpack

from harness import CONTROL_UUID, TEST_UUID, Servers, check, finish

NDR = ("8a885d04-1ceb-11c9-9fe8-08002b104860", 2)
NDR64 = ("71710533-beba-4937-8319-b5dbef9ccc36", 1)


def syntax(uuid, version):
    s = misc.ndr_syntax_id()
    s.uuid = misc.GUID(uuid)
    s.if_version = version
    return s


def packet(ptype, call_id, payload, flags=dcerpc.DCERPC_PFC_FLAG_FIRST | dcerpc.DCERPC_PFC_FLAG_LAST):
    p = dcerpc.ncacn_packet()
    p.rpc_vers = 5
    p.rpc_vers_minor = 0
    p.ptype = ptype
    p.pfc_flags = flags
    p.drep = [0x10, 0, 0, 0]
    p.frag_length = 0
    p.auth_length = 0
    p.call_id = call_id
    p.u = payload
    data = bytearray(ndr_pack(p))
    struct.pack_into("<H", data, 8, len(data))
    return bytes(data)


class Conn:
    def __init__(self, port):
        self.s = socket.create_connection(("127.0.0.1", port), 5)
        self.s.settimeout(10)

    def send(self, data):
        self.s.sendall(data)

    def recv(self):
        head = self._exact(16)
        if head is None:
            return None
        length = struct.unpack_from("<H", head, 8)[0]
        body = self._exact(length - 16)
        return ndr_unpack(dcerpc.ncacn_packet, head + body, allow_remaining=True)

    def _exact(self, n):
        data = b""
        while len(data) < n:
            try:
                chunk = self.s.recv(n - len(data))
            except (ConnectionResetError, socket.timeout):
                return None
            if not chunk:
                return None
            data += chunk
        return data

    def bind(self, ctxs, call_id=1):
        b = dcerpc.bind()
        b.max_xmit_frag = 5840
        b.max_recv_frag = 5840
        b.assoc_group_id = 0
        b.num_contexts = len(ctxs)
        b.ctx_list = ctxs
        b.auth_info = b""
        self.send(packet(dcerpc.DCERPC_PKT_BIND, call_id, b))
        return self.recv()

    def request(self, call_id, opnum, stub, ctx_id=0):
        r = dcerpc.request()
        r.alloc_hint = len(stub)
        r.context_id = ctx_id
        r.opnum = opnum
        r.stub_and_verifier = stub
        self.send(packet(dcerpc.DCERPC_PKT_REQUEST, call_id, r))

    def respond(self, call_id, stub, ctx_id=0):
        r = dcerpc.response()
        r.alloc_hint = len(stub)
        r.context_id = ctx_id
        r.cancel_count = 0
        r.reserved = 0
        r.stub_and_verifier = stub
        self.send(packet(dcerpc.DCERPC_PKT_RESPONSE, call_id, r))

    def fault(self, call_id, status, ctx_id=0):
        f = dcerpc.fault()
        f.alloc_hint = 0
        f.context_id = ctx_id
        f.cancel_count = 0
        f.flags = 0
        f.status = status
        f.reserved = 0
        f.error_and_verifier = b""
        self.send(packet(dcerpc.DCERPC_PKT_FAULT, call_id, f))


def ctx(ctx_id, abstract, transfers):
    c = dcerpc.ctx_list()
    c.context_id = ctx_id
    c.num_transfer_syntaxes = len(transfers)
    c.abstract_syntax = abstract
    c.transfer_syntaxes = transfers
    return c


def ndr_string(text):
    data = text.encode() + b"\0"
    return struct.pack("<III", len(data), 0, len(data)) + data + b"\0" * ((4 - len(data) % 4) % 4)


def main(server_exe, epmd_exe):
    s = Servers(server_exe, epmd_exe)
    try:
        # The bind a Windows client sends: NDR, NDR64, and the feature negotiation.
        c = Conn(s.port)
        iface = syntax(CONTROL_UUID, 1)
        features = (dcerpc.DCERPC_BIND_TIME_SECURITY_CONTEXT_MULTIPLEXING |
                    dcerpc.DCERPC_BIND_TIME_KEEP_CONNECTION_ON_ORPHAN)
        btf = syntax("6cb71c2c-9812-4540-%04x-000000000000" % (((features & 0xFF) << 8) | (features >> 8)), 1)
        ack = c.bind([ctx(0, iface, [syntax(*NDR)]), ctx(1, iface, [syntax(*NDR64)]), ctx(2, iface, [btf])])
        check(ack.ptype == dcerpc.DCERPC_PKT_BIND_ACK, "bind_ack")
        u = ack.u
        results = [(r.result, r.reason) for r in u.ctx_list]
        check(results[0] == (dcerpc.DCERPC_BIND_ACK_RESULT_ACCEPTANCE, 0), "NDR accepted")
        check(results[1] == (dcerpc.DCERPC_BIND_ACK_RESULT_PROVIDER_REJECTION,
                             dcerpc.DCERPC_BIND_ACK_REASON_TRANSFER_SYNTAXES_NOT_SUPPORTED), "NDR64 rejected")
        check(results[2] == (dcerpc.DCERPC_BIND_ACK_RESULT_NEGOTIATE_ACK, features), "features acknowledged")
        check(u.secondary_address == str(s.port) and u.assoc_group_id != 0, "secondary address and group")
        check(u.max_xmit_frag == 5840 and u.max_recv_frag == 5840, "fragment sizes")

        # Register process 77, then poll it: the viewer calls back ApplyTraceSettings (callback opnum 0).
        reg = struct.pack("<I", 77) + ndr_string("Sup") + struct.pack("<Ii", 1, 0) + ndr_string("") * 3
        c.request(2, 1, reg)
        r = c.recv()
        check(r.ptype == dcerpc.DCERPC_PKT_RESPONSE and bytes(r.u.stub_and_verifier)[:4] == b"\0\0\0\0",
              "RegisterSupplier answers 0")
        for call_id, answer, want in ((3, "response", 0), (4, "fault", 5)):
            c.request(call_id, 2, struct.pack("<I", 77))
            cb = c.recv()
            check(cb.ptype == dcerpc.DCERPC_PKT_REQUEST and cb.call_id == call_id and cb.u.opnum == 0 and
                  cb.u.context_id == 0, "callback request on the outer call (%s)" % answer)
            stub = bytes(cb.u.stub_and_verifier)
            expect = struct.pack("<Ii", 77, -1) + ndr_string("set") + ndr_string("exc")
            check(stub[:len(expect)] == expect, "callback stub layout")
            if answer == "response":
                c.respond(call_id, struct.pack("<i", 0))
            else:
                c.fault(call_id, 5)
            r = c.recv()
            got = struct.unpack("<i", bytes(r.u.stub_and_verifier)[:4])[0] if r and r.ptype == 2 else None
            check(got == want, "poll answers %r after a callback %s (got %r)" % (want, answer, got))
        c.s.close()

        # The client goes away, or stays silent, instead of answering: the routine sees RPC_S_CALL_FAILED.
        for mode in ("close", "silent"):
            c = Conn(s.port)
            c.bind([ctx(0, syntax(TEST_UUID, 1), [syntax(*NDR)])])
            c.request(2, 1, b"\1\2\3\4")
            cb = c.recv()
            check(cb is not None and cb.ptype == dcerpc.DCERPC_PKT_REQUEST, "callback request (%s)" % mode)
            if mode == "close":
                c.s.close()
                time.sleep(0.3)
            else:
                check(c.recv() is None, "silent client dropped after the time-out")
                c.s.close()
            q = Conn(s.port)
            q.bind([ctx(0, syntax(TEST_UUID, 1), [syntax(*NDR)])])
            q.request(2, 3, b"")
            r = q.recv()
            status = struct.unpack("<i", bytes(r.u.stub_and_verifier)[:4])[0]
            check(status == 1726, "callback failure status after %s: %d" % (mode, status))
            q.s.close()
    finally:
        s.close()
    finish()


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
