# Writes an MPEG-2 elementary stream of field pictures (I fields, flat grey),
# both fields of a frame as two picture headers: field_pictures_7.m2v is
# `python3 field_pictures.py field_pictures_7.m2v 7`. No encoder at hand writes
# field pictures.
import sys
class W:
    def __init__(s): s.bits=[]
    def put(s,v,n):
        for i in range(n-1,-1,-1): s.bits.append((v>>i)&1)
    def code(s,c):
        s.align(); s.put(0x000001,24); s.put(c,8)
    def align(s):
        while len(s.bits)%8: s.bits.append(0)
    def bytes(s):
        s.align(); return bytes(int(''.join(map(str,s.bits[i:i+8])),2) for i in range(0,len(s.bits),8))
def stream(frames, w=48, h=32, ptypes=None):
    o=W()
    o.code(0xB3); o.put(w,12); o.put(h,12); o.put(1,4); o.put(3,4); o.put(5000,18); o.put(1,1); o.put(20,10); o.put(0,1); o.put(0,1); o.put(0,1)
    o.code(0xB5); o.put(1,4); o.put(0x48,8); o.put(0,1); o.put(1,2); o.put(0,2); o.put(0,2); o.put(0,12); o.put(1,1); o.put(0,8); o.put(0,1); o.put(0,2); o.put(0,5)
    o.code(0xB8); o.put(0,25); o.put(1,1); o.put(0,1); o.put(0,5)  # time code, closed, broken
    mbw=(w+15)//16; rows=(h//2+15)//16
    for f in range(frames):
        for field in (1,2):
            o.code(0x00); o.put(f,10); o.put(1,3); o.put(0xFFFF,16); o.put(0,1)
            o.code(0xB5); o.put(8,4); o.put(15,4); o.put(15,4); o.put(15,4); o.put(15,4); o.put(0,2); o.put(field,2)
            o.put(1,1); o.put(0,1); o.put(0,1); o.put(0,1); o.put(0,1); o.put(0,1); o.put(0,1); o.put(1,1); o.put(0,1); o.put(0,1)
            for r in range(rows):
                o.code(r+1); o.put(8,5); o.put(0,1)
                for m in range(mbw):
                    o.put(1,1); o.put(1,1)  # address increment 1, intra
                    for b in range(4): o.put(0b100,3); o.put(0b10,2)
                    for b in range(2): o.put(0b00,2); o.put(0b10,2)
    o.code(0xB7)
    return o.bytes()
open(sys.argv[1],'wb').write(stream(int(sys.argv[2])))
