var a = 1, b = [1, 2, {k: 'v', "q": `t${a}`}];
let c; const d = a ** 2 ** 3;
function f(x, y = 2) { if (x > y) { return x - y + 1; } else return -5; }
for (let i = 0; i < 3; i++) { continue; }
for (const k in {a: 1}) { break; }
for (var v of [1, 2]) {}
while (a < 10) a++;
do { a--; } while (a > 0);
switch (a) { case 1: b = 2; break; case "x": default: b = 3; }
try { throw new Error("m", 5); } catch (e) { a = e.name; } finally { a = c ? 1 : 2; }
x = typeof a instanceof Object;
y = new Date, z = new Array(1, 2), w = Integer("3") + Float(1.5) * ~a >>> 2;
s = select(db, "select * from t where id = :a");
