'''bluetoothd for the tests: dbusmock's bluez5 template with the adapters and
devices of the JSON parameters, and a Device1.ConnectProfile that connects
to the box emulator's socket box_dir/XX:XX:XX:XX:XX:XX and hands it to the
profile registered for the UUID through NewConnection before it answers,
as bluetoothd does.

Parameters: {"adapters": [[name, powered]], "box_dir": dir,
             "devices": [[adapter, address, name or null, error or null]]}
An error is [D-Bus error name, message] that ConnectProfile answers with.
'''
import os
import socket

import dbus
from dbusmock import mockobject
from dbusmock.templates import bluez5

BUS_NAME = bluez5.BUS_NAME
MAIN_OBJ = bluez5.MAIN_OBJ
SYSTEM_BUS = True
IS_OBJECT_MANAGER = True


def set_method(obj, interface, function):
    # pylint: disable=protected-access
    obj.methods.setdefault(interface, {})[function.__name__] = (
        function._dbus_in_signature, function._dbus_out_signature, '', function)


def load(mock, parameters):
    bluez5.load(mock, parameters)
    manager = mockobject.objects['/org/bluez']
    manager.profiles = {}
    box_dir = parameters.get('box_dir', '')

    @dbus.service.method(bluez5.PROFILE_MANAGER_IFACE, in_signature='osa{sv}', out_signature='',
                         sender_keyword='sender')
    def RegisterProfile(_manager, path, uuid, _options, sender):
        manager.profiles[str(uuid).lower()] = (str(sender), str(path))

    @dbus.service.method(bluez5.DEVICE_IFACE, in_signature='s', out_signature='')
    def ConnectProfile(device, uuid):
        if device.error:
            raise dbus.exceptions.DBusException(device.error[1], name=device.error[0])
        owner, path = manager.profiles[str(uuid).lower()]
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as box:
            box.connect(os.path.join(box_dir, device.props[bluez5.DEVICE_IFACE]['Address']))
            box.setblocking(False)  # as bluetoothd's sockets are
            profile = dbus.SystemBus().get_object(owner, path, introspect=False)
            profile.NewConnection(device.__dbus_object_path__, dbus.types.UnixFd(box), {},
                                  signature='oha{sv}', dbus_interface='org.bluez.Profile1')

    set_method(manager, bluez5.PROFILE_MANAGER_IFACE, RegisterProfile)
    mockobject.objects['/'] = mock  # dbusmock files it only after load
    for name, powered in parameters.get('adapters', []):
        adapter = mockobject.objects[bluez5.AddAdapter(mock, name, 'host')]
        adapter.props[bluez5.ADAPTER_IFACE]['Powered'] = dbus.Boolean(powered, variant_level=1)
    for adapter, address, name, error in parameters.get('devices', []):
        device = mockobject.objects[bluez5.AddDevice(mock, adapter, address, name or '')]
        if name is None:
            del device.props[bluez5.DEVICE_IFACE]['Name']
        device.error = error
        set_method(device, bluez5.DEVICE_IFACE, ConnectProfile)
