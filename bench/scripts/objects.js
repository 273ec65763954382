// Object property get and set.
function main() {
    var o = {x: 0, y: 0, z: 0};
    for (var i = 0; i < 1000000; i++) {
        o.x = o.x + 1;
        o.y = o.x + o.z;
        o.z = o.y % 7;
    }
    print_result(o.x + o.y + o.z);
}
